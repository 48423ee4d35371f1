#include "platform/DeviceTreeInMemory.h"

#include "platform/NativeBackend.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>

namespace platform {
namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";
constexpr const char* kPortNameValue = "PortName";
constexpr int kDriverVersionParts = 4;
constexpr unsigned long kDriverVersionPartMax = 0xFFFF;

std::string enumeratorOf(const DeviceNodeDescription& node) {
    if (!node.enumerator.empty())
        return node.enumerator;
    return node.instanceId.substr(0, node.instanceId.find('\\'));
}

std::string portNameOf(const DeviceNodeDescription& node) {
    const auto value = node.hardwareKey.find(kPortNameValue);
    if (value == node.hardwareKey.end() || !value->second.isString)
        return {};
    return value->second.text;
}

// The interfaces and ports a group exposes, for telling arrivals from removals.
std::set<std::pair<std::string, std::string>> interfacesOf(const DeviceGroup* group) {
    std::set<std::pair<std::string, std::string>> found;
    if (group) {
        for (const auto& node : group->nodes)
            for (const auto& interface : node.interfaces)
                found.insert({interface.classGuid, interface.name});
    }
    return found;
}

std::set<std::string> portsOf(const DeviceGroup* group) {
    std::set<std::string> found;
    if (group) {
        for (const auto& node : group->nodes) {
            const std::string port = portNameOf(node);
            if (!port.empty())
                found.insert(port);
        }
    }
    return found;
}

bool wanted(const NotificationFilter& filter, const DeviceTreeChange& change) {
    switch (change.kind) {
    case DeviceTreeChange::Kind::InterfaceArrival:
    case DeviceTreeChange::Kind::InterfaceRemoval:
        return std::any_of(filter.interfaceClasses.begin(), filter.interfaceClasses.end(),
                           [&](const std::string& guid) {
                               return equalIgnoringCase(guid, change.interfaceClass);
                           });
    case DeviceTreeChange::Kind::PortArrival:
    case DeviceTreeChange::Kind::PortRemoval:
        return filter.ports;
    case DeviceTreeChange::Kind::NodesChanged:
        return filter.nodesChanged;
    }
    return false;
}

} // namespace

DeviceNodeDescription& DeviceGroup::add(const std::string& id, const std::string& parent) {
    nodes.emplace_back();
    nodes.back().id = id;
    nodes.back().parent = parent;
    return nodes.back();
}

bool validateDeviceGroup(const DeviceGroup& group, std::string& problem) {
    std::map<std::string, std::string> parents;
    for (const auto& node : group.nodes) {
        if (node.id.empty()) {
            problem = "a node has no id";
            return false;
        }
        if (!parents.emplace(node.id, node.parent).second) {
            problem = "node id \"" + node.id + "\" is used twice";
            return false;
        }
    }
    for (const auto& node : group.nodes) {
        // Walking up from any node must reach a top-level node within as many steps as
        // there are nodes; otherwise the parents form a cycle.
        std::string current = node.id;
        for (size_t steps = 0;; ++steps) {
            const std::string& up = parents[current];
            if (up.empty())
                break;
            if (!parents.count(up)) {
                problem = "node \"" + current + "\" names an unknown parent \"" + up + "\"";
                return false;
            }
            if (steps > group.nodes.size()) {
                problem = "the parents of node \"" + node.id + "\" form a cycle";
                return false;
            }
            current = up;
        }
    }
    return true;
}

bool parseDriverVersion(const std::string& text, uint64_t& version) {
    uint64_t result = 0;
    const char* cursor = text.c_str();
    for (int part = 0; part < kDriverVersionParts; ++part) {
        if (!std::isdigit(static_cast<unsigned char>(*cursor)))
            return false;
        char* end = nullptr;
        const unsigned long number = std::strtoul(cursor, &end, 10);
        if (number > kDriverVersionPartMax)
            return false;
        result = (result << 16) | number;
        cursor = end;
        if (part + 1 < kDriverVersionParts) {
            if (*cursor != '.')
                return false;
            ++cursor;
        }
    }
    if (*cursor != '\0')
        return false;
    version = result;
    return true;
}

InMemoryDeviceTree::InMemoryDeviceTree() = default;
InMemoryDeviceTree::~InMemoryDeviceTree() = default;

bool InMemoryDeviceTree::setGroup(const std::string& name, const DeviceGroup& group,
                                  std::string* problem) {
    std::string reason;
    if (!validateDeviceGroup(group, reason)) {
        if (problem)
            *problem = reason;
        return false;
    }
    std::lock_guard<std::mutex> delivery(deliveryMutex_);
    deliver(replace(name, &group));
    return true;
}

void InMemoryDeviceTree::setGroupSilently(const std::string& name, const DeviceGroup& group) {
    std::lock_guard<std::mutex> delivery(deliveryMutex_);
    replace(name, &group);
}

void InMemoryDeviceTree::removeGroup(const std::string& name) {
    std::lock_guard<std::mutex> delivery(deliveryMutex_);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!groups_.count(name))
            return;
    }
    deliver(replace(name, nullptr));
}

std::vector<DeviceTreeChange> InMemoryDeviceTree::replace(const std::string& name,
                                                          const DeviceGroup* group) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto old = groups_.find(name);
    const DeviceGroup* before = old == groups_.end() ? nullptr : &old->second;
    const auto interfacesBefore = interfacesOf(before);
    const auto interfacesAfter = interfacesOf(group);
    const auto portsBefore = portsOf(before);
    const auto portsAfter = portsOf(group);

    std::vector<DeviceTreeChange> changes;
    for (const auto& interface : interfacesBefore)
        if (!interfacesAfter.count(interface))
            changes.push_back(
                {DeviceTreeChange::Kind::InterfaceRemoval, interface.first, interface.second});
    for (const auto& port : portsBefore)
        if (!portsAfter.count(port))
            changes.push_back({DeviceTreeChange::Kind::PortRemoval, {}, port});
    for (const auto& interface : interfacesAfter)
        if (!interfacesBefore.count(interface))
            changes.push_back(
                {DeviceTreeChange::Kind::InterfaceArrival, interface.first, interface.second});
    for (const auto& port : portsAfter)
        if (!portsBefore.count(port))
            changes.push_back({DeviceTreeChange::Kind::PortArrival, {}, port});
    changes.push_back({DeviceTreeChange::Kind::NodesChanged, {}, {}});

    if (group)
        groups_[name] = *group;
    else
        groups_.erase(name);
    rebuild();
    return changes;
}

void InMemoryDeviceTree::rebuild() {
    std::map<std::pair<std::string, std::string>, DevNode> numbers;
    std::vector<Node> nodes;
    for (const auto& [groupName, group] : groups_) {
        for (const auto& description : group.nodes) {
            const auto key = std::make_pair(groupName, description.id);
            const auto known = numbers_.find(key);
            const DevNode number = known != numbers_.end() ? known->second : nextNumber_++;
            numbers[key] = number;
            Node node;
            node.number = number;
            node.group = groupName;
            node.description = description;
            nodes.push_back(std::move(node));
        }
    }
    for (auto& node : nodes) {
        if (!node.description.parent.empty())
            node.parent = numbers[{node.group, node.description.parent}];
    }
    numbers_ = std::move(numbers);
    nodes_ = std::move(nodes);
}

std::vector<std::string> InMemoryDeviceTree::groupNames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> names;
    for (const auto& entry : groups_)
        names.push_back(entry.first);
    return names;
}

DevNode InMemoryDeviceTree::node(const std::string& group, const std::string& id) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = numbers_.find({group, id});
    return found == numbers_.end() ? 0 : found->second;
}

const InMemoryDeviceTree::Node* InMemoryDeviceTree::find(DevNode node) const {
    for (const auto& candidate : nodes_)
        if (candidate.number == node)
            return &candidate;
    return nullptr;
}

uint32_t InMemoryDeviceTree::devicesOfClass(const std::string& classGuid,
                                            std::vector<DevNode>& nodes) {
    std::lock_guard<std::mutex> guard(mutex_);
    nodes.clear();
    for (const auto& node : nodes_)
        if (equalIgnoringCase(node.description.classGuid, classGuid))
            nodes.push_back(node.number);
    return 0;
}

uint32_t InMemoryDeviceTree::devicesOfEnumerator(const std::string& enumerator,
                                                 std::vector<DevNode>& nodes) {
    std::lock_guard<std::mutex> guard(mutex_);
    nodes.clear();
    for (const auto& node : nodes_)
        if (equalIgnoringCase(enumeratorOf(node.description), enumerator))
            nodes.push_back(node.number);
    return 0;
}

uint32_t InMemoryDeviceTree::parent(DevNode node, DevNode& parentNode) {
    std::lock_guard<std::mutex> guard(mutex_);
    const Node* found = find(node);
    if (!found)
        return kNoSuchDevNode;
    parentNode = found->parent;
    return 0;
}

uint32_t InMemoryDeviceTree::children(DevNode node, std::vector<DevNode>& childNodes) {
    std::lock_guard<std::mutex> guard(mutex_);
    childNodes.clear();
    if (node != kRootNode && !find(node))
        return kNoSuchDevNode;
    for (const auto& candidate : nodes_)
        if (candidate.parent == node)
            childNodes.push_back(candidate.number);
    return childNodes.empty() ? kNoSuchDevNode : 0;
}

std::string InMemoryDeviceTree::nodeId(DevNode node) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const Node* found = find(node);
    return found ? found->description.id : std::string();
}

uint32_t InMemoryDeviceTree::instanceId(DevNode node, std::string& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    const Node* found = find(node);
    if (!found)
        return kNoSuchDevNode;
    id = found->description.instanceId;
    return 0;
}

uint32_t InMemoryDeviceTree::hardwareIds(DevNode node, std::vector<std::string>& ids) {
    std::lock_guard<std::mutex> guard(mutex_);
    const Node* found = find(node);
    if (!found)
        return kNoSuchDevNode;
    if (found->description.hardwareIds.empty())
        return kInvalidData;
    ids = found->description.hardwareIds;
    return 0;
}

uint32_t InMemoryDeviceTree::textProperty(DevNode node, TextProperty property, std::string& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    const Node* found = find(node);
    if (!found)
        return kNoSuchDevNode;
    const std::string& text = property == TextProperty::FriendlyName
                                  ? found->description.friendlyName
                                  : found->description.deviceDesc;
    if (text.empty())
        return kInvalidData;
    value = text;
    return 0;
}

uint32_t InMemoryDeviceTree::status(DevNode node, uint32_t& statusBits, uint32_t& problem) {
    std::lock_guard<std::mutex> guard(mutex_);
    const Node* found = find(node);
    if (!found)
        return kNoSuchDevNode;
    statusBits = found->description.status;
    problem = found->description.problem;
    return 0;
}

uint32_t InMemoryDeviceTree::registryValue(DevNode node, RegistryKey key, const std::string& name,
                                           std::string& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    const Node* found = find(node);
    if (!found)
        return kInvalidHandle;
    const auto& values = key == RegistryKey::Hardware ? found->description.hardwareKey
                                                      : found->description.driverKey;
    const auto entry = values.find(name);
    if (entry == values.end())
        return kNotFound;
    if (!entry->second.isString)
        return kInvalidData;
    value = entry->second.text;
    return 0;
}

uint32_t InMemoryDeviceTree::enumClassGuid(const std::string& instanceId, std::string& classGuid) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& node : nodes_) {
        if (!equalIgnoringCase(node.description.instanceId, instanceId))
            continue;
        if (node.description.classGuid.empty())
            return kNotFound;
        classGuid = node.description.classGuid;
        return 0;
    }
    return kNotFound;
}

uint32_t InMemoryDeviceTree::driverVersion(const std::string& instanceId, uint64_t& version) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& node : nodes_) {
        if (!equalIgnoringCase(node.description.instanceId, instanceId))
            continue;
        if (!node.description.driverVersion)
            return kNotFound;
        version = *node.description.driverVersion;
        return 0;
    }
    return kNoSuchDevNode;
}

const DeviceNameDescription* InMemoryDeviceTree::findDeviceName(const std::string& name) const {
    const std::string prefix = kDevicePrefix;
    const std::string bare =
        name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
    for (const auto& [groupName, group] : groups_)
        for (const auto& [deviceName, description] : group.deviceNames)
            if (equalIgnoringCase(deviceName, bare))
                return &description;
    return nullptr;
}

uint32_t InMemoryDeviceTree::probeDevice(const std::string& name, OpenMode mode) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (const DeviceNameDescription* device = findDeviceName(name))
            return device->openResult;
    }
    return probeSystemDevice(name, mode);
}

uint32_t InMemoryDeviceTree::controlDevice(const std::string& name, uint32_t code, void* output,
                                           size_t outputSize, size_t& returned) {
    returned = 0;
    std::u16string answer;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const DeviceNameDescription* device = findDeviceName(name);
        if (!device) {
            const uint32_t opened = probeSystemDevice(name, OpenMode::Query);
            return opened != 0 ? opened : kInvalidFunction;
        }
        if (device->openResult != 0)
            return device->openResult;
        if (code != kRequestAdapterId || device->adapterId.empty())
            return kInvalidFunction;
        answer = device->adapterId;
    }
    if (!output && outputSize > 0)
        return kInvalidParameter;
    // The text with its terminator, cut to the caller's buffer.
    const size_t bytes = std::min(outputSize, (answer.size() + 1) * sizeof(char16_t));
    std::memcpy(output, answer.c_str(), bytes);
    returned = bytes;
    return 0;
}

uint64_t InMemoryDeviceTree::subscribe(const NotificationFilter& filter,
                                       DeviceTreeListener listener) {
    std::lock_guard<std::mutex> delivery(deliveryMutex_);
    const uint64_t id = nextListenerId_++;
    listeners_.push_back({id, filter, std::move(listener)});
    return id;
}

void InMemoryDeviceTree::unsubscribe(uint64_t id) {
    std::lock_guard<std::mutex> delivery(deliveryMutex_);
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                    [id](const Listener& listener) { return listener.id == id; }),
                     listeners_.end());
}

void InMemoryDeviceTree::deliver(const std::vector<DeviceTreeChange>& changes) {
    for (const auto& change : changes)
        for (const auto& listener : listeners_)
            if (listener.callback && wanted(listener.filter, change))
                listener.callback(change);
}

} // namespace platform
