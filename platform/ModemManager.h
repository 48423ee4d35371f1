#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The system's connection manager for modems, which probes every new modem port and keeps it
// open: on Linux ModemManager on the system bus, on a simulated machine DIR/modemmanager.json.
// A card it has inhibited is left alone until the inhibition is released or the inhibiting
// program leaves the bus.
namespace platform {

enum class ModemManagerResult {
    ok,
    // No connection manager at all (not on the bus, no bus, or no modemmanager.json).
    absent,
    // It knows no modem of that card (yet: it may not have seen a freshly plugged one).
    notFound,
    // It knows the card but is still probing it ("Modem not exported in the bus"): it accepts
    // an inhibition only once the modem is exported.
    probing,
    // Another program holds an inhibition of the card.
    inProgress,
    // Any other failure; the detail says what.
    failed,
};

struct ModemEntry {
    // The modem's device uid (what InhibitDevice takes: its "Device", the USB device's sysfs
    // path or the udev property ID_MM_PHYSDEV_UID) and its sysfs path ("Physdev", which
    // ModemManager publishes from 1.22 on; empty before).
    std::string uid;
    std::string physicalDevice;
    // Its ports ("ttyUSB2").
    std::vector<std::string> ports;
};

// One connection to the connection manager. An inhibition lasts while the connection that made
// it is open, so the connection is kept from the inhibition to its release.
class ModemManagerConnection {
public:
    virtual ~ModemManagerConnection() = default;

    // Opens the backend of this machine: the simulated one under KESTREL_SIM_ROOT, the system
    // bus otherwise. Null when there is nothing to talk to (`result` says absent or failed).
    static std::unique_ptr<ModemManagerConnection> open(ModemManagerResult& result,
                                                        std::string& detail);

    // The modem of the USB device `kernelName` ("1-1", the last part of the card's device
    // instance id). When no listed modem is the card's, notFound, with `modem.uid` set to the
    // uid the card's modem will have when that is known beforehand (empty otherwise).
    virtual ModemManagerResult findModem(const std::string& kernelName, ModemEntry& modem,
                                         std::string& detail) = 0;
    // InhibitDevice(uid, inhibit).
    virtual ModemManagerResult inhibit(const std::string& uid, bool inhibit,
                                       std::string& detail) = 0;
    // Who answers for the connection manager now (its bus name); empty when nobody does. An
    // inhibition is the answerer's: a restarted connection manager has forgotten it.
    virtual std::string owner() = 0;
    // Notices every change of the answerer from now on; false when it cannot. Called before the
    // answerer is first asked, a connection manager that starts in between is not missed.
    virtual bool watchOwner() = 0;
    // Waits up to `ms` logical milliseconds for the answerer to change since watchOwner() or the
    // last change seen; true when it did.
    virtual bool waitForOwnerChange(uint64_t ms) = 0;
};

// The USB device's kernel name in a device instance id: its last backslash-separated part.
std::string usbKernelName(const std::string& instanceId);

} // namespace platform
