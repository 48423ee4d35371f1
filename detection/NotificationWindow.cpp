#include "detection/NotificationWindow.h"

#include "detection/CardDatabase.h"
#include "detection/CardStateMachine.h"
#include "detection/CurrentCard.h"
#include "detection/ExclusiveMode.h"
#include "detection/MobileBroadbandDetection.h"
#include "detection/Nw.h"
#include "detection/NwLibrary.h"
#include "detection/XLog.h"
#include "platform/Power.h"
#include "platform/Text.h"

#include <string>
#include <string_view>

namespace detection {
namespace {

constexpr const char* kWindowName = "Nexwatch Notification Window";

struct InterfaceRegistration {
    const char* classGuid;
    const char* failure;
    uint32_t event;
};

// In registration order.
constexpr InterfaceRegistration kRegistrations[] = {
    {"{86E0D1E0-8089-11D0-9CE4-08003E301F73}",
     "Nw: InitializeNotificationWindow(): RegisterDeviceNotification for COM ports failed with "
     "0x%x.",
     kDetEvComPortDevIfArrived},
    {"{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}",
     "Nw: InitializeNotificationWindow(): RegisterDeviceNotification for modems failed with 0x%x.",
     kDetEvModemDevIfArrived},
    {"{4D36E978-E325-11CE-BFC1-08002BE10318}",
     "Nw: InitializeNotificationWindow(): RegisterDeviceNotification for serenum bus enumeration "
     "failed with 0x%x.",
     kDetEvSerEnumBusEnumIfArrived},
    {"{A5DCBF10-6530-11D2-901F-00C04FB951ED}",
     "Nw: InitializeNotificationWindow(): RegisterDeviceNotification for USB devices failed with "
     "0x%x.",
     kDetEvUsbIfArrived},
    {"{AD498944-762F-11D0-8DCB-00C04FC3358C}",
     "Nw: InitializeNotificationWindow(): RegisterDeviceNotification for network devices failed "
     "with 0x%x.",
     kDetEvNetworkDevIfArrived},
    {"{50DD5230-BA8A-11D1-BF5D-0000F805F530}",
     "Nw: InitializeNotificationWindow(): RegisterDeviceNotification for smart card readers "
     "failed with 0x%x.",
     kDetEvScReaderIfArrived},
};
constexpr size_t kRegistrationCount = sizeof kRegistrations / sizeof kRegistrations[0];

// Sizes of the Win32 broadcast records, logged with removals: header, then the class GUID for
// interfaces, then the UTF-16 name with its terminator.
constexpr uint32_t kBroadcastHeaderSize = 12;
constexpr uint32_t kGuidSize = 16;

platform::NotificationHandle registrations[kRegistrationCount] = {};
platform::NotificationHandle powerRegistration = 0;

std::string withoutBraces(std::string_view guid) {
    std::string bare;
    for (char c : guid)
        if (c != '{' && c != '}')
            bare += c;
    return bare;
}

bool sameGuid(const std::string& a, const char* b) {
    return platform::equalIgnoringCase(withoutBraces(a), withoutBraces(b));
}

uint32_t broadcastSize(const platform::DeviceBroadcast& device) {
    const uint32_t name = static_cast<uint32_t>(2 * (device.name.size() + 1));
    if (device.type == platform::DeviceBroadcast::Type::DeviceInterface)
        return kBroadcastHeaderSize + kGuidSize + name;
    return kBroadcastHeaderSize + name;
}

bool isWindows9x() {
    return CardDbOsType() == kOsType98 || CardDbOsType() == kOsTypeMe;
}

void onDeviceChange(const platform::Message& message) {
    XLogAt(1, "Nw: WM_DEVICECHANGE: wParam=0x%x", static_cast<unsigned>(message.wParam));
    using Type = platform::DeviceBroadcast::Type;
    if (message.wParam == platform::kDeviceNodesChanged) {
        OnDeviceNodesChanged();
        return;
    }
    if (!message.device)
        return;
    const platform::DeviceBroadcast& device = *message.device;
    const int type = static_cast<int>(device.type);
    if (message.wParam == platform::kDeviceArrival) {
        XLogAt(1, "Nw: DBT_DEVICEARRIVAL with device type %d", type);
        if (device.type == Type::Port)
            XLogAt(1, "Nw: Port %s arrived", device.name.c_str());
        else if (device.type == Type::DeviceInterface)
            XLogAt(1, "Nw: Device interface %s arrived", device.name.c_str());
        OnDeviceArrival(classifyArrival(device));
        return;
    }
    if (message.wParam == platform::kDeviceRemoveComplete) {
        XLogAt(1, "Nw: DBT_DEVICEREMOVECOMPLETE with device type %d (size=%d)", type,
               static_cast<int>(broadcastSize(device)));
        if (device.type == Type::Port) {
            XLogAt(1, "Nw: Port %s removed", device.name.c_str());
        } else if (device.type == Type::DeviceInterface) {
            XLogAt(1, "Nw: Device interface %s removed", device.name.c_str());
        } else if (!(device.type == Type::Handle && !isWindows9x()) &&
                   !(device.type == Type::DeviceNode && isWindows9x())) {
            return;
        }
        OnDeviceRemoval(device.type == Type::DeviceInterface ? device.name : std::string());
    }
}

void onPowerBroadcast(uint64_t event) {
    XLogAt(1, "Nw: WM_POWERBROADCAST, wParam=0x%x", static_cast<unsigned>(event));
    if (event == platform::kPowerSuspend)
        OnStandby();
    else if (event == platform::kPowerResumeSuspend)
        OnResume();
}

} // namespace

uint32_t classifyArrival(const platform::DeviceBroadcast& device) {
    switch (device.type) {
    case platform::DeviceBroadcast::Type::DeviceNode:
        return kDetEvDeviceNodeArrived;
    case platform::DeviceBroadcast::Type::Port:
        return kDetEvPortArrived;
    case platform::DeviceBroadcast::Type::DeviceInterface:
        for (const auto& registration : kRegistrations)
            if (sameGuid(device.interfaceClass, registration.classGuid))
                return registration.event;
        return kDetEvUnknown;
    default:
        return kDetEvUnknown;
    }
}

int64_t NotificationWindowProc(const platform::Message& message) {
    switch (message.id) {
    case kMessageWakeFromSuspension:
        CheckSystemState(NwReasonExclusiveModeEnd);
        return 0;
    case kMessageDeliverCallback:
        if (message.lParam != 0)
            reinterpret_cast<NwNotificationCallback>(message.lParam)(
                static_cast<uint32_t>(message.wParam));
        return 0;
    case kMessageSuspensionRequest:
        OnSuspensionRequest();
        return 0;
    default:
        break;
    }
    if (currentCard().info.state == CardStateSuspended)
        return 0;
    switch (message.id) {
    case kMessageExclusiveMutexFree:
        if (GrabExclusiveMutex(0) != 0)
            SetListenerDuty(LdWaitForSuspendAndMutex);
        break;
    case kMessageMbInterfaceArrival:
        OnMbInterfaceArrival();
        break;
    case kMessageMbInterfaceRemoval:
        OnMbInterfaceRemoval();
        break;
    case platform::kMessageTimer:
        OnTimer(message.wParam);
        break;
    case platform::kMessagePowerBroadcast:
        onPowerBroadcast(message.wParam);
        break;
    case platform::kMessageDeviceChange:
        onDeviceChange(message);
        break;
    default:
        break;
    }
    return 0;
}

uint32_t InitializeNotificationWindow() {
    const platform::WindowHandle window =
        platform::createMessageWindow(NotificationWindowProc, kWindowName);
    if (window == platform::kNoWindow) {
        XLogAt(3,
               "Nw: InitializeNotificationWindow(): Registering/creating notification window "
               "failed with 0x%x.",
               kErrorFail);
        return kErrorFail;
    }
    library().window = window;
    for (size_t i = 0; i < kRegistrationCount; ++i) {
        const uint32_t result = platform::registerDeviceNotification(
            window, kRegistrations[i].classGuid, registrations[i]);
        if (result != 0) {
            XLogAt(3, kRegistrations[i].failure, result);
            return result;
        }
    }
    // Win32 broadcasts power events to every top-level window; here a window asks for them.
    platform::registerPowerNotification(window, powerRegistration);
    XLogAt(0, "Nw: Notification window initialized");
    return 0;
}

void ReleaseNotificationWindow() {
    const platform::WindowHandle window = library().window;
    if (window == platform::kNoWindow)
        return;
    StopDetectionTimeoutTimer();
    StopPollingTimer();
    library().window = platform::kNoWindow;
    platform::destroyMessageWindow(window); // ends its registrations and timers too
    forgetTimers();
    for (auto& registration : registrations)
        registration = 0;
    powerRegistration = 0;
    XLogAt(0, "Nw: Notification window released");
}

} // namespace detection
