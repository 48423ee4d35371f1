#include "platform/linux/UdevDeviceRecord.h"

#include <libudev.h>

#include <fstream>

namespace platform {
namespace {

constexpr const char* kAttributes[] = {"idVendor",         "idProduct",      "bcdDevice",
                                       "bInterfaceNumber", "bNumInterfaces", "product"};
constexpr const char* kOldPathProperty = "DEVPATH_OLD";
constexpr const char* kSysRoot = "/sys";
constexpr const char* kModuleFolder = "/sys/module/";
constexpr const char* kVersionFile = "/version";

std::string text(const char* value) {
    return value ? value : "";
}

// The version a driver's module publishes; a driver built into the kernel or without a
// version has none (the kernel's own release is not a driver version).
std::string moduleVersion(const std::string& driver) {
    if (driver.empty())
        return {};
    std::ifstream file(kModuleFolder + driver + kVersionFile);
    std::string version;
    std::getline(file, version);
    return version;
}

} // namespace

std::string UdevDeviceRecord::property(const std::string& name) const {
    const auto found = properties.find(name);
    return found == properties.end() ? std::string() : found->second;
}

std::string UdevDeviceRecord::attribute(const std::string& name) const {
    const auto found = attributes.find(name);
    return found == attributes.end() ? std::string() : found->second;
}

bool UdevDeviceRecord::operator==(const UdevDeviceRecord& other) const {
    return syspath == other.syspath && oldSyspath == other.oldSyspath &&
           subsystem == other.subsystem && devtype == other.devtype && sysname == other.sysname &&
           driver == other.driver && properties == other.properties &&
           attributes == other.attributes && driverVersion == other.driverVersion;
}

UdevDeviceRecord readUdevDevice(udev_device* device) {
    UdevDeviceRecord record;
    record.syspath = text(udev_device_get_syspath(device));
    record.subsystem = text(udev_device_get_subsystem(device));
    record.devtype = text(udev_device_get_devtype(device));
    record.sysname = text(udev_device_get_sysname(device));
    record.driver = text(udev_device_get_driver(device));
    const std::string oldPath = text(udev_device_get_property_value(device, kOldPathProperty));
    if (!oldPath.empty())
        record.oldSyspath = kSysRoot + oldPath;
    const std::string prefix = kKestrelPropertyPrefix;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
        const std::string name = text(udev_list_entry_get_name(entry));
        if (name.compare(0, prefix.size(), prefix) == 0)
            record.properties[name] = text(udev_list_entry_get_value(entry));
    }
    // A removed device has no sysfs entry left to read attributes from.
    const std::string action = text(udev_device_get_action(device));
    if (action != "remove") {
        for (const char* name : kAttributes) {
            const char* value = udev_device_get_sysattr_value(device, name);
            if (value)
                record.attributes[name] = value;
        }
        record.driverVersion = moduleVersion(record.driver);
    }
    return record;
}

} // namespace platform
