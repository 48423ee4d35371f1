#pragma once

#include "platform/DeviceTree.h"

#include <cstdint>
#include <string>

// Requests that change a device, as the device manager makes them: a property change (enable,
// disable, restart) of a device by its instance id, and the eject of a device node. On a
// simulated machine every request is checked against the device tree and recorded as one line
// of DIR/device-actions.log ("change INSTANCE-ID STATE-CHANGE", "eject INSTANCE-ID"), for the
// simulator and tests to act on; on Linux they are not supported yet.
namespace platform {

// State changes, as the DICS_ values.
constexpr uint32_t kDeviceEnable = 1;
constexpr uint32_t kDeviceDisable = 2;
constexpr uint32_t kDevicePropertyChange = 3;
constexpr uint32_t kDeviceStart = 4;
constexpr uint32_t kDeviceStop = 5;

struct DeviceActionError {
    static constexpr uint32_t kInvalidParameter = 87;
    static constexpr uint32_t kNotSupported = 50;
    static constexpr uint32_t kNoSuchDevInst = 0xE000020B; // ERROR_NO_SUCH_DEVINST
    // Configuration-manager results of an eject.
    static constexpr uint32_t kCrInvalidDevNode = 0x05;
    static constexpr uint32_t kCrFailure = 0x13;
    static constexpr uint32_t kCrCallNotImplemented = 0x34;
};

// 0, 87 for an empty id or an unknown state change, kNoSuchDevInst for a device that is not
// present, or the error of recording the request.
uint32_t changeDeviceState(const std::string& instanceId, uint32_t stateChange);

// A configuration-manager result: 0, kCrInvalidDevNode for a node that is not present,
// kCrFailure when the request cannot be recorded. `vetoType` and `vetoName` are cleared: the
// simulated machine never vetoes.
uint32_t requestDeviceEject(DevNode node, uint32_t& vetoType, std::string& vetoName);

} // namespace platform
