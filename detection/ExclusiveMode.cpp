#include "detection/ExclusiveMode.h"

#include "detection/CardDatabase.h"
#include "detection/CardState.h"
#include "detection/Nw.h"
#include "detection/NwLibrary.h"
#include "detection/XLog.h"
#include "platform/Clock.h"
#include "platform/MessageWindow.h"
#include "platform/NamedObject.h"

#include <atomic>
#include <functional>
#include <thread>

namespace detection {
namespace {

using platform::SyncHandle;

constexpr uint32_t kListenerStartMs = 10000;
constexpr uint32_t kMutexWaitSliceMs = 1000;
constexpr uint32_t kFailedWaitPauseMs = 333;
constexpr uint32_t kAfterMutexGrabPauseMs = 100;
constexpr uint32_t kWakeUpPauseMs = 200;
constexpr uint32_t kSuspensionSettleMs = 200;

struct Listener {
    std::thread thread;
    uint32_t threadId = 0;
    std::atomic<bool> running{false};
    SyncHandle started;
    SyncHandle wake;
    SyncHandle finished;
    std::atomic<uint32_t> duty{LdIdle};
};

// Notification-thread state of the protocol.
struct Exclusive {
    SyncHandle heldMutex;
    SyncHandle ownSuspensionEvent;
    // Read by the listener thread to ignore this process's own request.
    std::atomic<bool> exclusiveMode{false};
};

Listener& listener() {
    static Listener* instance = new Listener;
    return *instance;
}

Exclusive& exclusive() {
    static Exclusive* instance = new Exclusive;
    return *instance;
}

void postToWindow(uint32_t message) {
    const platform::WindowHandle window = library().window;
    if (window != platform::kNoWindow)
        platform::postMessage(window, message, 0, 0);
}

void logDuty(uint32_t duty) {
    switch (duty) {
    case LdIdle:
        XLogAt(1, "Nw: New listener thread duty is 'Idle'");
        break;
    case LdWaitForSuspend:
        XLogAt(1, "Nw: New listener thread duty is 'WaitForSuspend'");
        break;
    case LdWaitForSuspendAndMutex:
        XLogAt(1, "Nw: New listener thread duty is 'WaitForSuspendAndMutex'");
        break;
    case LdWaitForMutex:
        XLogAt(1, "Nw: New listener thread duty is 'WaitForMutex'");
        break;
    default:
        break;
    }
}

// Sets the duty from the listener thread itself: no wake-up needed, except that Stop wins.
void setOwnDuty(uint32_t duty) {
    uint32_t current = listener().duty.load();
    while (current != LdStop && !listener().duty.compare_exchange_weak(current, duty)) {
    }
}

void waitIdle() {
    uint32_t error = 0;
    const uint32_t result = platform::waitForObject(listener().wake, platform::kInfiniteMs, &error);
    if (result == platform::kWaitFailed) {
        XLogAt(3, "Nw: ListenerThreadFn(): WaitForSingleObject failed with %d, GetLastError=0x%x",
               static_cast<int>(result), error);
        platform::sleepMs(kFailedWaitPauseMs);
    }
}

void waitForSuspend(bool withMutex) {
    auto event = platform::createNamedEvent(kSuspensionEventName, true, false);
    if (event.error != 0) {
        XLogAt(3, "Nw: ListenerThreadFn(): Suspension event creation/open failed with 0x%x",
               event.error);
        setOwnDuty(LdIdle);
        return;
    }
    // Without initial ownership: a mutex this thread created and owned could never be taken by
    // the notification thread.
    auto mutex = platform::createNamedMutex(kExclusiveMutexName, false);
    if (mutex.error != 0) {
        XLogAt(3,
               "Nw: ListenerThreadFn()/LdWaitForSuspendXXX: Exclusive mutex creation/open failed "
               "with 0x%x",
               mutex.error);
        setOwnDuty(LdIdle);
        return;
    }
    std::vector<SyncHandle> objects{listener().wake, event.handle};
    if (withMutex)
        objects.push_back(mutex.handle);
    uint32_t error = 0;
    const uint32_t result = platform::waitForAnyObject(objects, platform::kInfiniteMs, &error);
    if (result == platform::kWaitObject0) {
        // The duty changed.
    } else if (result == platform::kWaitObject0 + 1) {
        if (exclusive().exclusiveMode) {
            XLogAt(1, "Nw: Suspension request has arrived but ignored in exclusive mode");
            // The request stays signalled while this process is exclusive; waiting for it
            // again would spin.
            setOwnDuty(LdIdle);
        } else {
            XLogAt(1, "Nw: Suspension request has arrived");
            setOwnDuty(LdIdle);
            postToWindow(kMessageSuspensionRequest);
        }
    } else if (withMutex &&
               (result == platform::kWaitObject0 + 2 || result == platform::kWaitAbandoned0 + 2)) {
        platform::releaseMutex(mutex.handle);
        if (!platform::isEventSignalled(event.handle)) {
            XLogAt(1, "Nw: Got access to the exclusive mutex during normal mode, grabbing it...");
            setOwnDuty(LdWaitForSuspend);
            postToWindow(kMessageExclusiveMutexFree);
            platform::sleepMs(kAfterMutexGrabPauseMs);
        }
    } else {
        XLogAt(3,
               "Nw: ListenerThreadFn(): WaitForMultipleObjects failed with %d, GetLastError=0x%x",
               static_cast<int>(result), error);
        setOwnDuty(LdIdle);
    }
}

void waitForMutex() {
    auto mutex = platform::createNamedMutex(kExclusiveMutexName, false);
    if (mutex.error != 0) {
        XLogAt(3,
               "Nw: ListenerThreadFn()/LdWaitMutex: Exclusive mutex creation/open failed with "
               "0x%x",
               mutex.error);
        setOwnDuty(LdIdle);
        return;
    }
    for (;;) {
        const bool suspended = IsSuspendedByOtherProcess();
        uint32_t error = 0;
        const uint32_t result =
            platform::waitForAnyObject({listener().wake, mutex.handle}, kMutexWaitSliceMs, &error);
        if (result == platform::kWaitObject0)
            return;
        if (result == platform::kWaitObject0 + 1 || result == platform::kWaitAbandoned0 + 1) {
            XLogAt(1, "Nw: Got access to the exclusive mutex, waking up from suspended mode");
            setOwnDuty(LdIdle);
            platform::releaseMutex(mutex.handle);
            platform::sleepMs(kWakeUpPauseMs);
            postToWindow(kMessageWakeFromSuspension);
            return;
        }
        if (result == platform::kWaitTimeout) {
            if (suspended && !IsSuspendedByOtherProcess()) {
                XLogAt(1, "Nw: suspension event reset detected while waiting for the exclusive "
                          "mutex, waking up from suspended mode");
                setOwnDuty(LdIdle);
                platform::sleepMs(kWakeUpPauseMs);
                postToWindow(kMessageWakeFromSuspension);
                return;
            }
            continue;
        }
        XLogAt(3,
               "Nw: ListenerThreadFn(): WaitForMultipleObjects failed with %d, GetLastError=0x%x",
               static_cast<int>(result), error);
        setOwnDuty(LdIdle);
        return;
    }
}

void ListenerThreadFn() {
    Listener& state = listener();
    state.threadId =
        static_cast<uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    XLogAt(1, "Nw: Listener thread started");
    platform::setEvent(state.started);
    for (;;) {
        const uint32_t duty = state.duty.load();
        if (duty == LdStop)
            break;
        logDuty(duty);
        switch (duty) {
        case LdWaitForSuspend:
            waitForSuspend(false);
            break;
        case LdWaitForSuspendAndMutex:
            waitForSuspend(true);
            break;
        case LdWaitForMutex:
            waitForMutex();
            break;
        default:
            waitIdle();
            break;
        }
    }
    state.running = false;
    XLogAt(1, "Nw: Listener thread stopping");
    platform::setEvent(state.finished);
}

} // namespace

uint32_t StartListener() {
    Listener& state = listener();
    if (state.running)
        return 0;
    auto started = platform::createLocalEvent(false, false);
    auto wake = platform::createLocalEvent(false, false);
    auto finished = platform::createLocalEvent(true, false);
    if (started.error != 0 || wake.error != 0 || finished.error != 0) {
        const uint32_t error = started.error != 0 ? started.error
                               : wake.error != 0  ? wake.error
                                                  : finished.error;
        return error != 0 ? error : kErrorFail;
    }
    if (state.thread.joinable())
        state.thread.detach(); // a thread that did not end in time before
    state.started = started.handle;
    state.wake = wake.handle;
    state.finished = finished.handle;
    state.duty = LdIdle;
    state.thread = std::thread(ListenerThreadFn);
    if (platform::waitForObject(state.started, kListenerStartMs) != platform::kWaitObject0) {
        state.duty = LdStop;
        platform::setEvent(state.wake);
        state.thread.detach();
        return NwErrorTimeout;
    }
    state.running = true;
    return 0;
}

void StopListener(uint32_t waitMs) {
    Listener& state = listener();
    if (!state.thread.joinable()) {
        XLogAt(1, "Nw: Thread was not created - nothing to terminate");
        return;
    }
    state.duty = LdStop;
    platform::setEvent(state.wake);
    const uint32_t result = platform::waitForObject(state.finished, waitMs);
    if (result == platform::kWaitTimeout)
        XLogAt(3, "Nw: Listener thread termination timed out");
    else if (result != platform::kWaitObject0)
        XLogAt(3, "Nw: Listener thread termination failed with %d, GetLastError=0x%x",
               static_cast<int>(result), 0u);
    XLogAt(1, "Nw: Closing handle for listener thread 0x%x", state.threadId);
    if (result == platform::kWaitObject0)
        state.thread.join();
    else
        state.thread.detach(); // it ends on its own once its wait returns
    state.threadId = 0;
    state.running = false;
}

void SetListenerDuty(uint32_t duty) {
    Listener& state = listener();
    if (!state.running || state.duty.load() == duty)
        return;
    state.duty = duty;
    platform::setEvent(state.wake);
}

bool IsSuspensionSignalled() {
    auto event = platform::openNamedEvent(kSuspensionEventName);
    return event.error == 0 && platform::isEventSignalled(event.handle);
}

bool IsSuspendedByOtherProcess() {
    auto event = platform::openNamedEvent(kSuspensionEventName);
    if (event.error != 0)
        return false;
    const bool signalled = platform::isEventSignalled(event.handle);
    if (signalled) {
        auto mutex = platform::createNamedMutex(kExclusiveMutexName, true);
        if (mutex.error == 0 && !mutex.alreadyExisted) {
            XLogAt(2, "Nw: Suspended event is signalled but the exclusive mutex is available");
            XLogAt(2, "Nw: Possibly the event stayed signalled due to a crash, resetting it...");
            platform::releaseMutex(mutex.handle);
            platform::resetEvent(event.handle);
        }
    }
    return signalled;
}

uint32_t GrabExclusiveMutex(uint32_t timeoutMs) {
    Exclusive& state = exclusive();
    if (state.heldMutex) {
        XLogAt(2, "Nw: Exclusive mutex has already been grabbed, ignoring request...");
        return 0;
    }
    auto mutex = platform::createNamedMutex(kExclusiveMutexName, true);
    if (mutex.error != 0)
        return NwErrorNotFound;
    if (!mutex.alreadyExisted) {
        state.heldMutex = mutex.handle;
        return 0;
    }
    uint32_t error = 0;
    const uint32_t result = platform::waitForObject(mutex.handle, timeoutMs, &error);
    if (result == platform::kWaitObject0 || result == platform::kWaitAbandoned0) {
        state.heldMutex = mutex.handle;
        return 0;
    }
    if (result == platform::kWaitTimeout)
        return NwErrorTimeout;
    return error != 0 ? error : kErrorFail;
}

uint32_t ReleaseExclusiveMutex() {
    Exclusive& state = exclusive();
    if (!state.heldMutex) {
        XLogAt(2, "Nw: Exclusive mutex has already been released, ignoring request...");
        return 0;
    }
    platform::releaseMutex(state.heldMutex);
    state.heldMutex.reset();
    return 0;
}

int UpdateExclusiveState() {
    if (exclusive().exclusiveMode)
        return 0;
    if (IsSuspendedByOtherProcess()) {
        SetListenerDuty(LdWaitForMutex);
        return 1;
    }
    const uint32_t result = GrabExclusiveMutex(0);
    if (result == 0) {
        XLogAt(1, "Nw: Exclusive mutex has been grabbed");
        SetListenerDuty(LdWaitForSuspend);
    } else {
        XLogAt(2, "Nw: Exclusive mutex could not be grabbed, 0x%x", result);
        SetListenerDuty(LdWaitForSuspendAndMutex);
    }
    return 0;
}

bool isExclusiveModeOn() {
    return exclusive().exclusiveMode;
}

} // namespace detection

uint32_t NwEnterExclusiveMode(uint32_t timeoutMs) {
    using namespace detection;
    Exclusive& state = exclusive();
    if (state.exclusiveMode)
        return 0;
    if (IsSuspendedByOtherProcess())
        return NwErrorInvalidState;
    auto event = platform::createNamedEvent(kSuspensionEventName, false, false);
    if (event.error != 0)
        return event.error;
    state.ownSuspensionEvent = event.handle;
    SetListenerDuty(LdIdle);
    platform::sleepMs(kSuspensionSettleMs);
    platform::setEvent(state.ownSuspensionEvent);
    const uint32_t result = GrabExclusiveMutex(timeoutMs);
    if (result != 0) {
        platform::resetEvent(state.ownSuspensionEvent);
        state.ownSuspensionEvent.reset();
        SetListenerDuty(LdWaitForSuspendAndMutex);
        return result;
    }
    state.exclusiveMode = true;
    return 0;
}

uint32_t NwLeaveExclusiveMode() {
    using namespace detection;
    Exclusive& state = exclusive();
    if (!state.exclusiveMode)
        return 0;
    platform::resetEvent(state.ownSuspensionEvent);
    state.ownSuspensionEvent.reset();
    const uint32_t result = ReleaseExclusiveMutex();
    state.exclusiveMode = false;
    if (library().initialised && UpdateExclusiveState() == 1)
        SetCardState(CardStateSuspended, NwReasonExclusiveModeEnd);
    return result;
}

uint32_t NwConfirmSuspension() {
    using namespace detection;
    uint32_t result = 0;
    if (exclusive().heldMutex)
        result = ReleaseExclusiveMutex();
    platform::sleepMs(kSuspensionSettleMs);
    SetListenerDuty(LdWaitForMutex);
    return result;
}

uint32_t NwIsInUseByOtherProcess() {
    using namespace detection;
    if (exclusive().heldMutex)
        return 0;
    if (IsSuspendedByOtherProcess())
        return 1;
    return platform::openNamedMutex(kExclusiveMutexName).error == 0 ? 1 : 0;
}
