#pragma once

#include "platform/DeviceTree.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// One value of a device registry key; values that are not strings read as kInvalidData.
struct RegistryValue {
    bool isString = true;
    std::string text;
};

struct DeviceInterface {
    std::string classGuid;
    std::string name;
};

// One device node as a device file or a test describes it. `id` and `parent` are local to the
// group the node belongs to; an empty parent makes it a top-level device.
struct DeviceNodeDescription {
    std::string id;
    std::string parent;
    std::string enumerator; // empty: the first component of the instance id
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::string classGuid;
    std::string friendlyName;
    std::string deviceDesc;
    uint32_t status = kNodeDriverLoaded | kNodeStarted;
    uint32_t problem = 0;
    std::map<std::string, RegistryValue> hardwareKey;
    std::map<std::string, RegistryValue> driverKey;
    std::optional<uint64_t> driverVersion;
    std::vector<DeviceInterface> interfaces;
};

// A device name that can be opened, such as "lmuhsbus0" for "\\.\lmuhsbus0".
struct DeviceNameDescription {
    uint32_t openResult = 0;
    std::u16string adapterId; // answer to kRequestAdapterId; empty: the request fails
};

// Everything one piece of hardware contributes to the tree.
struct DeviceGroup {
    std::vector<DeviceNodeDescription> nodes;
    std::map<std::string, DeviceNameDescription> deviceNames;

    // Appends a node and returns it for filling in.
    DeviceNodeDescription& add(const std::string& id, const std::string& parent = "");
};

// Checks that ids are unique and non-empty and that every parent names an earlier or later
// node of the group without forming a cycle.
bool validateDeviceGroup(const DeviceGroup& group, std::string& problem);

// "a.b.c.d" with four 16-bit numbers.
bool parseDriverVersion(const std::string& text, uint64_t& version);

// A device tree held in memory: the union of named groups. Tests build and change it; the
// simulated machine fills it from its device files. Changing a group notifies the listeners
// on the calling thread.
class InMemoryDeviceTree : public DeviceTree {
public:
    static constexpr DevNode kRootNode = 1;

    InMemoryDeviceTree();
    ~InMemoryDeviceTree() override;

    // Adds or replaces a group; false (and nothing changes) when the group is not valid.
    bool setGroup(const std::string& name, const DeviceGroup& group,
                  std::string* problem = nullptr);
    void removeGroup(const std::string& name);
    std::vector<std::string> groupNames() const;
    // The node number of a present node, 0 when there is none.
    DevNode node(const std::string& group, const std::string& id) const;

    uint32_t devicesOfClass(const std::string& classGuid, std::vector<DevNode>& nodes) override;
    uint32_t devicesOfEnumerator(const std::string& enumerator,
                                 std::vector<DevNode>& nodes) override;
    uint32_t parent(DevNode node, DevNode& parentNode) override;
    uint32_t children(DevNode node, std::vector<DevNode>& childNodes) override;
    uint32_t instanceId(DevNode node, std::string& id) override;
    uint32_t hardwareIds(DevNode node, std::vector<std::string>& ids) override;
    uint32_t textProperty(DevNode node, TextProperty property, std::string& value) override;
    uint32_t status(DevNode node, uint32_t& statusBits, uint32_t& problem) override;
    uint32_t registryValue(DevNode node, RegistryKey key, const std::string& name,
                           std::string& value) override;
    uint32_t enumClassGuid(const std::string& instanceId, std::string& classGuid) override;
    uint32_t driverVersion(const std::string& instanceId, uint64_t& version) override;
    uint32_t probeDevice(const std::string& name, OpenMode mode) override;
    uint32_t controlDevice(const std::string& name, uint32_t code, void* output, size_t outputSize,
                           size_t& returned) override;
    uint64_t subscribe(const NotificationFilter& filter, DeviceTreeListener listener) override;
    void unsubscribe(uint64_t id) override;

protected:
    // Replaces a group without notifying anyone (the initial load of the simulated machine).
    void setGroupSilently(const std::string& name, const DeviceGroup& group);
    // The id a present node has in its group; empty when there is none.
    std::string nodeId(DevNode node) const;

private:
    struct Node {
        DevNode number = 0;
        DevNode parent = kRootNode;
        std::string group;
        DeviceNodeDescription description;
    };
    struct Listener {
        uint64_t id = 0;
        NotificationFilter filter;
        DeviceTreeListener callback;
    };

    void rebuild();
    const Node* find(DevNode node) const;
    const DeviceNameDescription* findDeviceName(const std::string& name) const;
    std::vector<DeviceTreeChange> replace(const std::string& name, const DeviceGroup* group);
    void deliver(const std::vector<DeviceTreeChange>& changes);

    mutable std::mutex mutex_;
    std::map<std::string, DeviceGroup> groups_;
    std::map<std::pair<std::string, std::string>, DevNode> numbers_;
    DevNode nextNumber_ = kRootNode + 1;
    std::vector<Node> nodes_;

    // Held while a change is applied and delivered, so changes reach the listeners in order
    // and unsubscribe waits for a delivery in progress. Guards the listeners.
    std::mutex deliveryMutex_;
    std::vector<Listener> listeners_;
    uint64_t nextListenerId_ = 1;
};

} // namespace platform
