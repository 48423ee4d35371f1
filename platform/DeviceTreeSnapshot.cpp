#include "platform/DeviceTreeSnapshot.h"

#include <algorithm>
#include <cctype>

namespace platform {
namespace {

constexpr const char* kVendorPrefix = "VID_";
constexpr size_t kVendorTokenLength = 8;
constexpr const char* kInterfacePrefix = "\\\\?\\";

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string nodeId(DevNode node) {
    return "n" + std::to_string(node);
}

std::vector<std::string> idComponents(const std::string& text) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == '\\' || c == '#')
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

// "\\?\USB#VID_1234&PID_5678#0001#{guid}" names the node "USB\VID_1234&PID_5678\0001"; a
// driver may name the interfaces of its functions in its own way after the enumerator and the
// device's ids ("\\?\USB\VID_1234&PID_5678&MI_01#diag#{guid}").
bool interfaceOfNode(const std::string& interfaceName, const std::string& instanceId) {
    std::string name = interfaceName;
    if (name.compare(0, std::char_traits<char>::length(kInterfacePrefix), kInterfacePrefix) == 0)
        name = name.substr(std::char_traits<char>::length(kInterfacePrefix));
    const std::vector<std::string> interfaceParts = idComponents(upper(name));
    const std::vector<std::string> nodeParts = idComponents(upper(instanceId));
    return interfaceParts.size() >= 2 && nodeParts.size() >= 2 &&
           interfaceParts[0] == nodeParts[0] && interfaceParts[1] == nodeParts[1];
}

void copyValues(DeviceTree& tree, DevNode node, RegistryKey key, const std::set<std::string>& names,
                std::map<std::string, RegistryValue>& values) {
    for (const std::string& name : names) {
        std::string text;
        const uint32_t error = tree.registryValue(node, key, name, text);
        if (error == 0)
            values[name] = RegistryValue{true, text};
        else if (error == DeviceTree::kInvalidData)
            values[name] = RegistryValue{false, std::string()};
    }
}

DeviceNodeDescription describe(DeviceTree& tree, DevNode node, const std::set<DevNode>& usbNodes,
                               const std::set<std::string>& valueNames,
                               const std::map<std::string, std::string>& interfaces) {
    DeviceNodeDescription description;
    description.id = nodeId(node);
    DevNode parent = 0;
    if (tree.parent(node, parent) == 0 && usbNodes.count(parent) != 0)
        description.parent = nodeId(parent);
    tree.instanceId(node, description.instanceId);
    const size_t separator = description.instanceId.find('\\');
    description.enumerator = description.instanceId.substr(0, separator);
    tree.hardwareIds(node, description.hardwareIds);
    tree.enumClassGuid(description.instanceId, description.classGuid);
    tree.textProperty(node, TextProperty::FriendlyName, description.friendlyName);
    tree.textProperty(node, TextProperty::DeviceDescription, description.deviceDesc);
    uint32_t status = 0;
    uint32_t problem = 0;
    if (tree.status(node, status, problem) == 0) {
        description.status = status;
        description.problem = problem;
    }
    copyValues(tree, node, RegistryKey::Hardware, valueNames, description.hardwareKey);
    copyValues(tree, node, RegistryKey::Driver, valueNames, description.driverKey);
    uint64_t version = 0;
    if (tree.driverVersion(description.instanceId, version) == 0)
        description.driverVersion = version;
    for (const auto& [name, classGuid] : interfaces) {
        if (interfaceOfNode(name, description.instanceId))
            description.interfaces.push_back(DeviceInterface{classGuid, name});
    }
    return description;
}

} // namespace

const char* const kSnapshotValueNames[] = {"PortName", "SymbolicName", "HardwareID",
                                           "NetCfgInstanceId", nullptr};

std::string vendorToken(const std::string& id) {
    const std::string text = upper(id);
    const size_t found = text.find(kVendorPrefix);
    if (found == std::string::npos || found + kVendorTokenLength > text.size())
        return std::string();
    return text.substr(found, kVendorTokenLength);
}

DeviceGroup snapshotUsbDevices(DeviceTree& tree, const std::set<std::string>& valueNames,
                               const std::map<std::string, std::string>& interfaces) {
    std::vector<DevNode> nodes;
    DeviceGroup group;
    if (tree.devicesOfEnumerator("USB", nodes) != 0)
        return group;
    // The functions of a USB device may be children of its bus driver, with an enumerator of
    // their own.
    std::set<DevNode> known(nodes.begin(), nodes.end());
    for (size_t index = 0; index < nodes.size(); ++index) {
        std::vector<DevNode> children;
        if (tree.children(nodes[index], children) != 0)
            continue;
        for (const DevNode child : children) {
            if (known.insert(child).second)
                nodes.push_back(child);
        }
    }
    std::set<std::string> names = valueNames;
    for (const char* const* name = kSnapshotValueNames; *name != nullptr; ++name)
        names.insert(*name);
    for (const DevNode node : nodes)
        group.nodes.push_back(describe(tree, node, known, names, interfaces));
    return group;
}

std::vector<NativeUsbDevice> nativeUsbDevices(DeviceTree& tree) {
    std::vector<NativeUsbDevice> devices;
    std::vector<DevNode> nodes;
    if (tree.devicesOfEnumerator("USB", nodes) != 0)
        return devices;
    const std::set<DevNode> usb(nodes.begin(), nodes.end());
    for (const DevNode node : nodes) {
        NativeUsbDevice device;
        if (tree.instanceId(node, device.instanceId) != 0)
            continue;
        DevNode parent = 0;
        std::string parentId;
        device.topmost = tree.parent(node, parent) != 0 || usb.count(parent) == 0 ||
                         tree.instanceId(parent, parentId) != 0;
        if (!device.topmost && vendorToken(parentId) == vendorToken(device.instanceId))
            continue;
        device.description = tree.nativeDescription(node);
        if (!device.description.empty())
            devices.push_back(std::move(device));
    }
    return devices;
}

DeviceGroup devicesOfVendors(const DeviceGroup& group, const std::set<std::string>& vendors) {
    std::map<std::string, const DeviceNodeDescription*> byId;
    for (const DeviceNodeDescription& node : group.nodes)
        byId[node.id] = &node;
    // A node is kept when it or a node above it is a device of one of the vendors.
    const auto kept = [&byId, &vendors](const DeviceNodeDescription& node) {
        for (const DeviceNodeDescription* current = &node; current != nullptr;) {
            if (vendors.count(vendorToken(current->instanceId)) != 0)
                return true;
            const auto parent = byId.find(current->parent);
            current = parent == byId.end() ? nullptr : parent->second;
        }
        return false;
    };
    DeviceGroup card;
    card.deviceNames = group.deviceNames;
    for (const DeviceNodeDescription& node : group.nodes) {
        if (!kept(node))
            continue;
        DeviceNodeDescription copy = node;
        const auto parent = byId.find(node.parent);
        if (parent == byId.end() || !kept(*parent->second))
            copy.parent.clear();
        card.nodes.push_back(std::move(copy));
    }
    return card;
}

} // namespace platform
