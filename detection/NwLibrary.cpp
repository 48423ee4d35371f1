#include "detection/NwLibrary.h"

#include "detection/CardDatabase.h"
#include "detection/CardState.h"
#include "detection/CardStateMachine.h"
#include "detection/CurrentCard.h"
#include "detection/ExclusiveMode.h"
#include "detection/MobileBroadbandDetection.h"
#include "detection/NotificationWindow.h"
#include "detection/XLog.h"

#include <cstring>

namespace detection {
namespace {

constexpr uint32_t kVersionMajor = 1;
constexpr uint32_t kVersionMinor = 0;
constexpr uint32_t kListenerStopMs = 1000;

// The record sizes a client may ask for, each ending on a field boundary.
constexpr uint32_t kAcceptedSizes[] = {1596, 2636, 3156, 3676, 4196, 4716, 5240, 5248};

bool acceptedSize(uint32_t size) {
    for (uint32_t accepted : kAcceptedSizes)
        if (size == accepted)
            return true;
    return false;
}

uint32_t notifyCallback(uint32_t reason) {
    LibraryState& state = library();
    if (state.callback == nullptr)
        return 0;
    XLogAt(1, "Nw: Sending notification via callback, reason=%d", static_cast<int>(reason));
    if (std::this_thread::get_id() == state.notificationThread) {
        state.callback(reason);
        return 0;
    }
    const platform::WindowHandle window = state.window;
    if (window == platform::kNoWindow)
        return kErrorNotReady;
    return platform::postMessage(window, kMessageDeliverCallback, reason,
                                 reinterpret_cast<int64_t>(state.callback));
}

uint32_t notifyWindow(uint32_t reason) {
    LibraryState& state = library();
    if (state.clientWindow == platform::kNoWindow)
        return 0;
    XLogAt(1, "Nw: Sending notification via window, reason=%d", static_cast<int>(reason));
    if (!platform::isWindow(state.clientWindow))
        return kErrorInvalidHandle;
    return platform::postMessage(state.clientWindow, state.clientMessage, reason, 0);
}

} // namespace

LibraryState& library() {
    static LibraryState* state = new LibraryState;
    return *state;
}

uint32_t Notify(uint32_t reason, NotifyChannel channel) {
    uint32_t callbackResult = 0;
    uint32_t windowResult = 0;
    if (channel != NotifyChannel::Window)
        callbackResult = notifyCallback(reason);
    if (channel != NotifyChannel::Callback)
        windowResult = notifyWindow(reason);
    return callbackResult != 0 ? callbackResult : windowResult;
}

} // namespace detection

using namespace detection;

uint32_t NwInitialize(const void* module) {
    LibraryState& state = library();
    if (state.initialised)
        return 0;
    XLog("Nw: Nexwatch v%x.%x (%s static library, loglevel=%d)", kVersionMajor, kVersionMinor,
         "Unicode", logLevel());
    uint32_t result = InitializeCardDb(static_cast<const CardDbModule*>(module));
    if (result != 0) {
        ReleaseCardDb();
        return result;
    }
    currentCard().wakingUp = false;
    currentCard().replugDevNode = 0;
    result = StartListener();
    if (result != 0) {
        ReleaseCardDb();
        return result;
    }
    result = InitializeNotificationWindow();
    if (result != 0) {
        StopListener(kListenerStopMs);
        ReleaseCardDb();
        ReleaseNotificationWindow();
        return result;
    }
    if (hasMobileBroadbandApi()) {
        const int generic = GetGenericEntryIndex();
        const uint32_t mbResult = InitializeMbDetection(generic);
        if (static_cast<int32_t>(mbResult) < 0)
            XLogAt(3, "Nw: Initializing Mobile Broadband detection failed with 0x%x", mbResult);
        else
            XLogAt(1,
                   "Nw: Mobile Broadband detection successfully initialized %s third-party "
                   "support",
                   generic >= 0 ? "with" : "without");
    }
    setCardStateObserver(onCardStateChanged);
    CheckSystemState(NwReasonInitialCheck);
    state.notificationThread = std::this_thread::get_id();
    state.initialised = true;
    return 0;
}

uint32_t NwTerminate() {
    LibraryState& state = library();
    if (!state.initialised)
        return 0;
    if (hasMobileBroadbandApi())
        ShutdownMbDetection();
    state.clientWindow = platform::kNoWindow;
    state.clientMessage = 0;
    ResetCardInfo();
    ReleaseNotificationWindow();
    StopListener(kListenerStopMs);
    ReleaseCardDb();
    if (!isExclusiveModeOn())
        ReleaseExclusiveMutex();
    state.notificationThread = std::thread::id();
    state.initialised = false;
    return 0;
}

uint32_t NwRegisterNotificationCallback(NwNotificationCallback callback) {
    LibraryState& state = library();
    if (!state.initialised)
        return kErrorNotReady;
    state.callback = callback;
    Notify(NwReasonRegistered, NotifyChannel::Callback);
    return 0;
}

uint32_t NwUnregisterNotificationCallback() {
    LibraryState& state = library();
    if (!state.initialised)
        return kErrorNotReady;
    state.callback = nullptr;
    return 0;
}

uint32_t NwRegisterNotificationWindow(NwWindowHandle window, uint32_t messageId) {
    LibraryState& state = library();
    if (!state.initialised)
        return kErrorNotReady;
    state.clientWindow = window;
    state.clientMessage = messageId;
    Notify(NwReasonRegistered, NotifyChannel::Window);
    return 0;
}

uint32_t NwUnregisterNotificationWindow() {
    LibraryState& state = library();
    if (!state.initialised)
        return kErrorNotReady;
    state.clientWindow = platform::kNoWindow;
    state.clientMessage = 0;
    return 0;
}

uint32_t NwGetCardInfo(NwCardInfo* info) {
    if (!library().initialised)
        return kErrorNotReady;
    if (info == nullptr || !acceptedSize(info->size))
        return NwErrorBadLength;
    const NwCardInfo& current = currentCard().info;
    if (current.model == 0 && current.state != CardStateSuspended)
        return NwErrorNoCard;
    const uint32_t size = info->size;
    std::memcpy(static_cast<void*>(info), &current, size);
    info->size = size;
    return 0;
}

uint32_t NwIsFirstInsertionsFakeRemoval() {
    if (!library().initialised)
        return 0;
    return static_cast<uint32_t>(IsFirstInsertionsFakeRemoval());
}
