#include "platform/windows/SetupApiCalls.h"

#include <atomic>

namespace platform {
namespace {

const SetupApiCalls kSystemCalls = {
    SetupDiGetClassDevsW,
    SetupDiCreateDeviceInfoList,
    SetupDiOpenDeviceInfoW,
    SetupDiEnumDeviceInfo,
    SetupDiDestroyDeviceInfoList,
    SetupDiGetDeviceRegistryPropertyW,
    SetupDiOpenDevRegKey,
    RegQueryValueExW,
    RegCloseKey,
    SetupDiGetDeviceInstallParamsW,
    SetupDiSetDeviceInstallParamsW,
    SetupDiBuildDriverInfoList,
    SetupDiEnumDriverInfoW,
    SetupDiDestroyDriverInfoList,
    CM_Get_Parent,
    CM_Get_Child,
    CM_Get_Sibling,
    CM_Get_Device_IDW,
    CM_Get_DevNode_Status,
    RegisterDeviceNotificationW,
    UnregisterDeviceNotification,
    CreateFileW,
    DeviceIoControl,
    CloseHandle,
};

std::atomic<const SetupApiCalls*> installed{nullptr};

} // namespace

const SetupApiCalls& setupApiCalls() {
    const SetupApiCalls* calls = installed.load();
    return calls != nullptr ? *calls : kSystemCalls;
}

void installSetupApiCalls(const SetupApiCalls* calls) {
    installed.store(calls);
}

} // namespace platform
