#pragma once

#include <memory>
#include <string>

// The system's connection manager for modems, which probes every new modem port and keeps it
// open: on Linux ModemManager on the system bus, on a simulated machine DIR/modemmanager.json.
// A card it has inhibited is left alone until the inhibition is released or the inhibiting
// program leaves the bus.
namespace platform {

enum class ModemManagerResult {
    ok,
    // No connection manager at all (not on the bus, no bus, or no modemmanager.json).
    absent,
    // It knows no modem of that card (yet: it may still be probing a freshly plugged one).
    notFound,
    // Another program holds an inhibition of the card.
    inProgress,
    // Any other failure; the detail says what.
    failed,
};

struct ModemEntry {
    // The modem's device uid (what InhibitDevice takes) and its sysfs path.
    std::string uid;
    std::string physicalDevice;
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

    // The modem whose physical device is the USB device `kernelName` ("1-1", the last part of
    // the card's device instance id).
    virtual ModemManagerResult findModem(const std::string& kernelName, ModemEntry& modem,
                                         std::string& detail) = 0;
    // InhibitDevice(uid, inhibit).
    virtual ModemManagerResult inhibit(const std::string& uid, bool inhibit,
                                       std::string& detail) = 0;
};

// The USB device's kernel name in a device instance id: its last backslash-separated part.
std::string usbKernelName(const std::string& instanceId);

} // namespace platform
