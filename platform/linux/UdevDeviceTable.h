#pragma once

#include "platform/DeviceTreeInMemory.h"
#include "platform/linux/UdevDeviceRecord.h"

#include <map>
#include <string>
#include <vector>

namespace platform {

// The USB devices, their interfaces and the tty, net and usbmisc devices below them, as udev
// announced them, turned into the nodes of the device tree:
// - one node per usb_device and per usb_interface; a tty or network interface is data of the
//   interface it belongs to (its "PortName", its "NetCfgInstanceId"), not a node;
// - ids in the form the card database and the application expect ("USB\VID_1234&PID_5678",
//   "&MI_02", the bus-driver token of the rules file before the instance part);
// - an interface that no driver claims is left out, unless the rules file names it as one of
//   the card's functions: then it is shown, inactive (not configured), until its driver binds.
//   A CD-ROM or reserved interface of a card thus never holds up the card's completion, while a
//   port whose driver is late does.
class UdevDeviceTable {
public:
    // Adds or replaces a device (add, change, bind, unbind, move).
    void put(const UdevDeviceRecord& record);
    // Removes a device and everything below it.
    void remove(const std::string& syspath);
    void clear() { records_.clear(); }
    bool contains(const std::string& syspath) const { return records_.count(syspath) != 0; }
    // The record at this path, or nullptr.
    const UdevDeviceRecord* find(const std::string& syspath) const;
    // Whether a tty, net or usbmisc device at this path would belong to a known USB interface.
    bool belowInterface(const std::string& syspath) const;

    // A card is a usb_device with its interfaces and their class devices (not the devices of a
    // hub's ports, which are cards of their own).
    // The card a device belongs to (itself for a usb_device); empty when none is known.
    std::string cardOf(const std::string& syspath) const;
    std::vector<std::string> cards() const;
    std::vector<UdevDeviceRecord> recordsOf(const std::string& card) const;
    void replaceCard(const std::string& card, const std::vector<UdevDeviceRecord>& records);
    void removeCard(const std::string& card);
    // Whether a card has settled: its own driver bound (the kernel binds the USB device after
    // its interfaces), every interface it announces (bNumInterfaces) present, and every
    // interface the rules file names as a function bound with its tty or network interface.
    bool settled(const std::string& card) const;

    // The nodes of the tree, parents before children, interfaces by interface number.
    DeviceGroup group() const;

private:
    std::map<std::string, UdevDeviceRecord> records_;
};

// Whether a sysfs path is `ancestor` itself or lies below it.
bool sysfsPathAtOrBelow(const std::string& path, const std::string& ancestor);

} // namespace platform
