#include "platform/linux/UdevDeviceText.h"

#include <libudev.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <set>
#include <vector>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kSysRoot = "/sys";
constexpr const char* kDevRoot = "/dev/";
constexpr const char* kDriverLink = "driver";
// Links and event files that umockdev makes itself or that are not attributes of the device.
constexpr std::array<const char*, 6> kNotAttributes = {"driver",        "subsystem", "module",
                                                       "firmware_node", "uevent",    "port"};
// What udev adds of its own to every device; a testbed sets these itself.
constexpr std::array<const char*, 5> kNotProperties = {"DEVPATH", "ACTION", "SEQNUM",
                                                       "USEC_INITIALIZED", "CURRENT_TAGS"};
// Descriptors and other large attributes are left out; a card's own are a few bytes each.
constexpr size_t kLongestAttribute = 4096;

template <size_t N> bool listed(const std::array<const char*, N>& names, const std::string& name) {
    return std::any_of(names.begin(), names.end(), [&](const char* item) { return name == item; });
}

bool isText(const std::string& value) {
    return std::all_of(value.begin(), value.end(), [](unsigned char c) {
        return c == '\n' || c == '\t' || (c >= ' ' && c < 0x7F) || c >= 0x80;
    });
}

// umockdev reads an "A:" value with C escapes.
std::string escaped(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string hex(const std::string& value) {
    std::string out;
    char digits[3];
    for (const char c : value) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
        out += digits;
    }
    return out;
}

std::string attributeLine(const std::string& name, const std::string& value) {
    return isText(value) ? "A: " + name + "=" + escaped(value) + "\n"
                         : "H: " + name + "=" + hex(value) + "\n";
}

std::string driverLine(const std::string& syspath) {
    char target[PATH_MAX];
    const std::string link = syspath + "/" + kDriverLink;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return std::string();
    return std::string("L: ") + kDriverLink + "=" +
           std::string(target, static_cast<size_t>(length)) + "\n";
}

std::string deviceText(udev_device* device) {
    const std::string syspath = udev_device_get_syspath(device);
    std::string text = "P: " + syspath.substr(std::char_traits<char>::length(kSysRoot)) + "\n";
    const char* node = udev_device_get_devnode(device);
    const std::string devRoot = kDevRoot;
    if (node != nullptr && std::string(node).compare(0, devRoot.size(), devRoot) == 0)
        text += "N: " + std::string(node).substr(devRoot.size()) + "\n";
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
        const std::string name = udev_list_entry_get_name(entry);
        const char* value = udev_list_entry_get_value(entry);
        if (!listed(kNotProperties, name))
            text += "E: " + name + "=" + (value ? value : "") + "\n";
    }
    std::set<std::string> names;
    udev_list_entry_foreach(entry, udev_device_get_sysattr_list_entry(device))
        names.insert(udev_list_entry_get_name(entry));
    for (const std::string& name : names) {
        if (listed(kNotAttributes, name))
            continue;
        const char* value = udev_device_get_sysattr_value(device, name.c_str());
        if (value == nullptr || std::char_traits<char>::length(value) > kLongestAttribute)
            continue;
        text += attributeLine(name, value);
    }
    return text + driverLine(syspath);
}

bool isBelow(const std::string& path, const std::string& top) {
    return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
                           path[top.size()] == '/');
}

std::vector<std::string> devicesBelow(udev* context, const std::string& syspath) {
    std::vector<std::string> paths;
    udev_device* top = udev_device_new_from_syspath(context, syspath.c_str());
    if (!top)
        return paths;
    udev_enumerate* enumeration = udev_enumerate_new(context);
    if (!enumeration) {
        udev_device_unref(top);
        return paths;
    }
    udev_enumerate_add_match_parent(enumeration, top);
    udev_enumerate_scan_devices(enumeration);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration)) {
        const std::string path = udev_list_entry_get_name(entry);
        if (isBelow(path, syspath))
            paths.push_back(path);
    }
    udev_enumerate_unref(enumeration);
    udev_device_unref(top);
    // A parent's path is a prefix of its children's.
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace

std::string udevDevicesText(const std::string& syspath) {
    if (syspath.empty())
        return std::string();
    // A context of its own: one udev context must not serve two threads at once.
    udev* context = udev_new();
    if (context == nullptr)
        return std::string();
    std::string text;
    for (const std::string& path : devicesBelow(context, syspath)) {
        udev_device* device = udev_device_new_from_syspath(context, path.c_str());
        if (!device)
            continue;
        text += (text.empty() ? "" : "\n") + deviceText(device);
        udev_device_unref(device);
    }
    udev_unref(context);
    return text;
}

} // namespace platform
