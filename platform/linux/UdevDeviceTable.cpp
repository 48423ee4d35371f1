#include "platform/linux/UdevDeviceTable.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

namespace platform {
namespace {

constexpr const char* kUsbSubsystem = "usb";
constexpr const char* kUsbDeviceType = "usb_device";
constexpr const char* kUsbInterfaceType = "usb_interface";
constexpr const char* kTtySubsystem = "tty";
constexpr const char* kNetSubsystem = "net";

// Properties of the rules file.
constexpr const char* kClassProperty = "KESTREL_CLASS";
constexpr const char* kNameProperty = "KESTREL_NAME";
constexpr const char* kBusIdProperty = "KESTREL_BUS_ID";
constexpr const char* kUserSpaceProperty = "KESTREL_USERSPACE";
constexpr const char* kPropertySet = "1";

constexpr const char* kUsbDeviceClass = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr const char* kUsbDeviceInterface = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
constexpr const char* kComPortInterface = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
constexpr const char* kModemInterface = "{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}";
constexpr const char* kNetworkInterface = "{AD498944-762F-11D0-8DCB-00C04FC3358C}";
constexpr const char* kSmartCardInterface = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}";

constexpr const char* kDefaultDeviceName = "USB Composite Device";
constexpr const char* kDefaultPortName = "USB Serial Port";
constexpr const char* kDefaultAdapterName = "USB Network Adapter";
constexpr const char* kDefaultInterfaceName = "USB Device";

constexpr const char* kPortNameValue = "PortName";
constexpr const char* kSymbolicNameValue = "SymbolicName";
constexpr const char* kAdapterIdValue = "NetCfgInstanceId";

constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;
constexpr size_t kIdTextSize = 64;
constexpr int kVersionParts = 4;
constexpr unsigned long kVersionPartMax = 0xFFFF;

struct SetupClassName {
    const char* name;
    const char* guid;
};

// The setup classes the rules file may name.
constexpr SetupClassName kSetupClasses[] = {
    {"Ports", kClassPorts},
    {"Modem", kClassModem},
    {"Net", kClassNet},
    {"SmartCardReader", kClassSmartCardReader},
    {"Multifunction", kClassMultifunction},
};

bool isUsbDevice(const UdevDeviceRecord& record) {
    return record.subsystem == kUsbSubsystem && record.devtype == kUsbDeviceType;
}

bool isUsbInterface(const UdevDeviceRecord& record) {
    return record.subsystem == kUsbSubsystem && record.devtype == kUsbInterfaceType;
}

bool isBelow(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '/';
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

unsigned long number(const std::string& text, int base) {
    return std::strtoul(text.c_str(), nullptr, base);
}

std::string lowered(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A class named by the rules file ("Ports"); empty when unknown.
std::string setupClass(const std::string& name) {
    for (const auto& entry : kSetupClasses)
        if (name == entry.name)
            return entry.guid;
    return {};
}

// "1.2" is 1.2.0.0; anything but up to four dotted numbers is no version.
std::optional<uint64_t> driverVersionOf(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    uint64_t version = 0;
    const char* cursor = text.c_str();
    for (int part = 0; part < kVersionParts; ++part) {
        unsigned long value = 0;
        if (*cursor != '\0') {
            if (!std::isdigit(static_cast<unsigned char>(*cursor)))
                return std::nullopt;
            char* end = nullptr;
            value = std::strtoul(cursor, &end, kDecimalBase);
            if (value > kVersionPartMax)
                return std::nullopt;
            cursor = end;
            if (*cursor == '.' && part + 1 < kVersionParts)
                ++cursor;
            else if (*cursor != '\0')
                return std::nullopt;
        }
        version = (version << 16) | value;
    }
    return version;
}

// "USB\VID_1234&PID_5678".
std::string usbIdOf(const UdevDeviceRecord& device) {
    char text[kIdTextSize];
    std::snprintf(text, sizeof text, "USB\\VID_%04lX&PID_%04lX",
                  number(device.attribute("idVendor"), kHexBase),
                  number(device.attribute("idProduct"), kHexBase));
    return text;
}

std::string revisionOf(const UdevDeviceRecord& device) {
    char text[kIdTextSize];
    std::snprintf(text, sizeof text, "&REV_%04lX", number(device.attribute("bcdDevice"), kHexBase));
    return text;
}

std::string interfaceSuffix(unsigned long interfaceNumber) {
    char text[kIdTextSize];
    std::snprintf(text, sizeof text, "&MI_%02lX", interfaceNumber);
    return text;
}

// The Windows form of a device interface name: "\\?\USB#VID_1234&PID_5678#1-1#{guid}".
std::string interfaceName(const std::string& id, const std::string& instance,
                          const std::string& guid) {
    std::string bare = id.substr(id.find('\\') + 1);
    return "\\\\?\\USB#" + bare + "#" + instance + "#" + lowered(guid);
}

using RecordMap = std::map<std::string, UdevDeviceRecord>;

// The interfaces of a USB device by interface number.
std::vector<const UdevDeviceRecord*> interfacesOf(const RecordMap& records,
                                                  const std::string& devicePath) {
    std::vector<const UdevDeviceRecord*> found;
    for (auto it = records.lower_bound(devicePath + "/");
         it != records.end() && isBelow(it->first, devicePath); ++it)
        if (isUsbInterface(it->second) && folderOf(it->first) == devicePath)
            found.push_back(&it->second);
    std::sort(found.begin(), found.end(), [](const auto* a, const auto* b) {
        return number(a->attribute("bInterfaceNumber"), kHexBase) <
               number(b->attribute("bInterfaceNumber"), kHexBase);
    });
    return found;
}

// The first class device of a subsystem below an interface.
const UdevDeviceRecord* classDevice(const RecordMap& records, const std::string& interfacePath,
                                    const std::string& subsystem) {
    for (auto it = records.lower_bound(interfacePath + "/");
         it != records.end() && isBelow(it->first, interfacePath); ++it)
        if (it->second.subsystem == subsystem)
            return &it->second;
    return nullptr;
}

// An interface the rules file names as one of the card's functions.
bool tagged(const UdevDeviceRecord& interface) {
    return !interface.property(kClassProperty).empty() ||
           !interface.property(kNameProperty).empty();
}

// A function served from user space (a CCID reader) has no kernel driver to wait for.
bool bound(const UdevDeviceRecord& interface) {
    return !interface.driver.empty() || interface.property(kUserSpaceProperty) == kPropertySet;
}

bool needsTty(const std::string& classGuid) {
    return classGuid == kClassModem || classGuid == kClassPorts;
}

// A function is complete once its driver is bound and, for a port or modem, its tty exists,
// for an adapter, its network interface.
bool functionComplete(const RecordMap& records, const UdevDeviceRecord& interface) {
    if (!bound(interface))
        return false;
    const std::string classGuid = setupClass(interface.property(kClassProperty));
    if (needsTty(classGuid) && !classDevice(records, interface.syspath, kTtySubsystem))
        return false;
    return classGuid != kClassNet || classDevice(records, interface.syspath, kNetSubsystem);
}

class GroupBuilder {
public:
    explicit GroupBuilder(const RecordMap& records) : records_(records) {}

    DeviceGroup build() {
        // Parents sort before their children: a path is a prefix of the paths below it.
        for (const auto& [path, record] : records_)
            if (isUsbDevice(record))
                addDevice(record);
        return group_;
    }

private:
    void addDevice(const UdevDeviceRecord& device) {
        shown_.insert(device.syspath);
        const std::string usbId = usbIdOf(device);
        DeviceNodeDescription& node = group_.add(device.syspath, parentId(device));
        node.enumerator = "USB";
        node.instanceId = usbId + "\\" + device.sysname;
        node.hardwareIds = {usbId + revisionOf(device), usbId};
        const std::string named = setupClass(device.property(kClassProperty));
        node.classGuid = named.empty() ? kUsbDeviceClass : named;
        node.deviceDesc = device.property(kNameProperty);
        if (node.deviceDesc.empty())
            node.deviceDesc = device.attribute("product");
        if (node.deviceDesc.empty())
            node.deviceDesc = kDefaultDeviceName;
        setBound(node, !device.driver.empty(), true);
        const std::string symbolic = interfaceName(usbId, device.sysname, kUsbDeviceInterface);
        node.hardwareKey[kSymbolicNameValue] = {true, "\\??\\" + symbolic.substr(4)};
        node.interfaces.push_back({kUsbDeviceInterface, symbolic});
        node.driverVersion = driverVersionOf(device.driverVersion);
        for (const auto* interface : interfacesOf(records_, device.syspath))
            if (!interface->driver.empty() || tagged(*interface))
                addInterface(device, *interface);
    }

    std::string parentId(const UdevDeviceRecord& device) const {
        const std::string parentPath = folderOf(device.syspath);
        return shown_.count(parentPath) ? parentPath : std::string();
    }

    static void setBound(DeviceNodeDescription& node, bool bound, bool started) {
        node.status = bound ? kNodeDriverLoaded | (started ? kNodeStarted : 0) : kNodeHasProblem;
        node.problem = bound ? 0 : kProblemNotConfigured;
    }

    void addInterface(const UdevDeviceRecord& device, const UdevDeviceRecord& interface) {
        const std::string usbId = usbIdOf(device);
        const std::string suffix =
            interfaceSuffix(number(interface.attribute("bInterfaceNumber"), kHexBase));
        const UdevDeviceRecord* tty = classDevice(records_, interface.syspath, kTtySubsystem);
        const UdevDeviceRecord* net = classDevice(records_, interface.syspath, kNetSubsystem);
        DeviceNodeDescription& node = group_.add(interface.syspath, device.syspath);
        node.enumerator = "USB";
        node.instanceId =
            usbId + suffix + interface.property(kBusIdProperty) + "\\" + interface.sysname;
        node.hardwareIds = {usbId + revisionOf(device) + suffix, usbId + suffix};

        std::string classGuid = setupClass(interface.property(kClassProperty));
        if (classGuid.empty())
            classGuid = tty ? kClassPorts : net ? kClassNet : kUsbDeviceClass;
        node.classGuid = classGuid;
        const bool modem = classGuid == kClassModem;
        const bool needsNet = classGuid == kClassNet;

        std::string name = interface.property(kNameProperty);
        if (name.empty())
            name = tty ? kDefaultPortName : net ? kDefaultAdapterName : kDefaultInterfaceName;
        node.deviceDesc = name;
        node.friendlyName = tty ? name + " (" + tty->sysname + ")" : name;
        const bool started = (!needsTty(classGuid) || tty) && (!needsNet || net);
        const bool isBound = bound(interface);
        setBound(node, isBound, started);
        node.driverVersion = driverVersionOf(interface.driverVersion);

        const std::string instance = interface.sysname;
        const std::string ids = usbId + suffix;
        if (tty) {
            node.hardwareKey[kPortNameValue] = {true, tty->sysname};
            node.interfaces.push_back(
                {kComPortInterface, interfaceName(ids, instance, kComPortInterface)});
            if (modem)
                node.interfaces.push_back(
                    {kModemInterface, interfaceName(ids, instance, kModemInterface)});
        }
        if (net) {
            node.driverKey[kAdapterIdValue] = {true, net->sysname};
            node.interfaces.push_back(
                {kNetworkInterface, interfaceName(ids, instance, kNetworkInterface)});
        }
        if (classGuid == kClassSmartCardReader && isBound)
            node.interfaces.push_back(
                {kSmartCardInterface, interfaceName(ids, instance, kSmartCardInterface)});
    }

    const RecordMap& records_;
    std::set<std::string> shown_;
    DeviceGroup group_;
};

} // namespace

void UdevDeviceTable::put(const UdevDeviceRecord& record) {
    if (!record.oldSyspath.empty() && record.oldSyspath != record.syspath)
        records_.erase(record.oldSyspath);
    records_[record.syspath] = record;
}

void UdevDeviceTable::remove(const std::string& syspath) {
    records_.erase(syspath);
    auto it = records_.lower_bound(syspath + "/");
    while (it != records_.end() && isBelow(it->first, syspath))
        it = records_.erase(it);
}

bool UdevDeviceTable::belowInterface(const std::string& syspath) const {
    for (std::string path = folderOf(syspath); !path.empty(); path = folderOf(path)) {
        const auto found = records_.find(path);
        if (found != records_.end() && isUsbInterface(found->second))
            return true;
    }
    return false;
}

const UdevDeviceRecord* UdevDeviceTable::find(const std::string& syspath) const {
    const auto found = records_.find(syspath);
    return found == records_.end() ? nullptr : &found->second;
}

std::string UdevDeviceTable::cardOf(const std::string& syspath) const {
    for (std::string path = syspath; !path.empty(); path = folderOf(path)) {
        const auto found = records_.find(path);
        if (found != records_.end() && isUsbDevice(found->second))
            return path;
    }
    return {};
}

std::vector<std::string> UdevDeviceTable::cards() const {
    std::vector<std::string> paths;
    for (const auto& [path, record] : records_)
        if (isUsbDevice(record))
            paths.push_back(path);
    return paths;
}

std::vector<UdevDeviceRecord> UdevDeviceTable::recordsOf(const std::string& card) const {
    std::vector<UdevDeviceRecord> found;
    const auto device = records_.find(card);
    if (device == records_.end())
        return found;
    found.push_back(device->second);
    for (auto it = records_.lower_bound(card + "/");
         it != records_.end() && isBelow(it->first, card); ++it)
        if (cardOf(it->first) == card)
            found.push_back(it->second);
    return found;
}

void UdevDeviceTable::replaceCard(const std::string& card,
                                  const std::vector<UdevDeviceRecord>& records) {
    removeCard(card);
    for (const auto& record : records)
        records_[record.syspath] = record;
}

void UdevDeviceTable::removeCard(const std::string& card) {
    for (const auto& record : recordsOf(card))
        records_.erase(record.syspath);
}

bool UdevDeviceTable::settled(const std::string& card) const {
    const auto device = records_.find(card);
    // The USB device's own bind comes after all its interfaces have been probed.
    if (device == records_.end() || !isUsbDevice(device->second) || device->second.driver.empty())
        return false;
    const auto interfaces = interfacesOf(records_, card);
    if (interfaces.size() < number(device->second.attribute("bNumInterfaces"), kDecimalBase))
        return false;
    return std::all_of(interfaces.begin(), interfaces.end(), [&](const auto* interface) {
        return !tagged(*interface) || functionComplete(records_, *interface);
    });
}

bool sysfsPathAtOrBelow(const std::string& path, const std::string& ancestor) {
    return path == ancestor || isBelow(path, ancestor);
}

DeviceGroup UdevDeviceTable::group() const {
    return GroupBuilder(records_).build();
}

} // namespace platform
