#include "detection/Nw.h"
#include "detection/WideText.h"
#include "detection/XLog.h"
#include "platform/DeviceActions.h"

#include <string>

// Device state changes and ejects on the platform's device actions.
uint32_t NwChangeDeviceState(const char16_t* deviceInstanceId, uint32_t stateChange) {
    using namespace detection;
    if (deviceInstanceId == nullptr || deviceInstanceId[0] == 0)
        return NwErrorInvalidParameter;
    const std::string instanceId = utf8FromUtf16(textOf(deviceInstanceId, NW_TEXT_LENGTH));
    const uint32_t result = platform::changeDeviceState(instanceId, stateChange);
    if (result == 0) {
        XLogAt(1, "Nw: Device action %d successfully done on device %s",
               static_cast<int>(stateChange), instanceId.c_str());
    } else if (result == platform::DeviceActionError::kNoSuchDevInst) {
        XLogAt(3, "Nw: NwChangeDeviceState(): SetupDiOpenDeviceInfo failed with 0x%x", result);
    } else if (result == platform::DeviceActionError::kInvalidParameter) {
        XLogAt(3, "Nw: NwChangeDeviceState(): SetupDiSetClassInstallParams/1 failed with 0x%x",
               result);
    } else {
        XLogAt(3, "Nw: NwChangeDeviceState(): SetupDiCallClassInstaller failed with 0x%x", result);
    }
    return result;
}

uint32_t NwRequestDeviceEject(uint32_t devNode, uint32_t* vetoType, char16_t* vetoName,
                              uint32_t vetoNameLength) {
    using namespace detection;
    uint32_t type = 0;
    std::string name;
    const uint32_t result = platform::requestDeviceEject(devNode, type, name);
    if (vetoType != nullptr)
        *vetoType = type;
    if (vetoName != nullptr && vetoNameLength > 0)
        copyText(vetoName, vetoNameLength, utf16FromUtf8(name));
    return result;
}
