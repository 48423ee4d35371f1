#pragma once

#include <map>
#include <string>

struct udev_device;

namespace platform {

// What the device tree keeps of one udev device: read once when the device appears or changes,
// so a removal (whose sysfs entry is already gone) needs nothing but the path.
struct UdevDeviceRecord {
    std::string syspath;
    // "/sys/..." the device had before a "move" (a renamed network interface), else empty.
    std::string oldSyspath;
    std::string subsystem;
    std::string devtype;
    std::string sysname;
    std::string driver;
    // The udev properties the tree reads: the KESTREL_ ones set by the rules file.
    std::map<std::string, std::string> properties;
    // The sysfs attributes the tree reads (idVendor, idProduct, bcdDevice, bInterfaceNumber,
    // bNumInterfaces, product).
    std::map<std::string, std::string> attributes;
    // The driver's version as its module publishes it ("1.2.0"), empty when it has none.
    std::string driverVersion;

    std::string property(const std::string& name) const;
    std::string attribute(const std::string& name) const;

    bool operator==(const UdevDeviceRecord& other) const;
    bool operator!=(const UdevDeviceRecord& other) const { return !(*this == other); }
};

// Prefix of the udev properties set by Kestrel's rules file.
constexpr const char* kKestrelPropertyPrefix = "KESTREL_";

// Reads a device as udev describes it (an enumerated device or a monitor event).
UdevDeviceRecord readUdevDevice(udev_device* device);

} // namespace platform
