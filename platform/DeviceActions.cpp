#include "platform/DeviceActions.h"

#include "platform/RegistryStore.h"
#include "platform/SystemPaths.h"
#include "platform/Text.h"

#include <vector>

namespace platform {
namespace {

constexpr const char* kActionLog = "/device-actions.log";

// Whether a device with this instance id is present: the devices of its enumerator (the first
// component of the id) are searched.
bool present(DeviceTree& tree, const std::string& instanceId) {
    const std::string enumerator = instanceId.substr(0, instanceId.find('\\'));
    std::vector<DevNode> nodes;
    if (tree.devicesOfEnumerator(enumerator, nodes) != 0)
        return false;
    for (DevNode node : nodes) {
        std::string id;
        if (tree.instanceId(node, id) == 0 && equalIgnoringCase(id, instanceId))
            return true;
    }
    return false;
}

// Appends one line in a single write, so that concurrent writers never interleave.
bool record(const std::string& root, const std::string& line) {
    return appendToFile(root + kActionLog, line + "\n") == 0;
}

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

} // namespace

uint32_t changeDeviceState(const std::string& instanceId, uint32_t stateChange) {
    if (instanceId.empty() || hasLineBreak(instanceId) || stateChange < kDeviceEnable ||
        stateChange > kDeviceStop)
        return DeviceActionError::kInvalidParameter;
    const auto root = simulatedMachineRoot();
    if (!root)
        return DeviceActionError::kNotSupported;
    auto tree = deviceTree();
    if (!tree || !present(*tree, instanceId))
        return DeviceActionError::kNoSuchDevInst;
    if (!record(*root, "change " + instanceId + " " + std::to_string(stateChange)))
        return 29; // ERROR_WRITE_FAULT
    return 0;
}

uint32_t requestDeviceEject(DevNode node, uint32_t& vetoType, std::string& vetoName) {
    vetoType = 0;
    vetoName.clear();
    const auto root = simulatedMachineRoot();
    if (!root)
        return DeviceActionError::kCrCallNotImplemented;
    auto tree = deviceTree();
    std::string instanceId;
    if (!tree || node == 0 || tree->instanceId(node, instanceId) != 0 || instanceId.empty())
        return DeviceActionError::kCrInvalidDevNode;
    if (!record(*root, "eject " + instanceId))
        return DeviceActionError::kCrFailure;
    return 0;
}

} // namespace platform
