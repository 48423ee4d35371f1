#include "detection/ExclusiveMode.h"

#include "detection/CardDatabase.h"
#include "detection/CardState.h"
#include "detection/Nw.h"
#include "detection/NwLibrary.h"
#include "detection/XLog.h"
#include "platform/Clock.h"
#include "platform/MessageWindow.h"
#include "platform/NamedObject.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace detection {
namespace {

using platform::SyncHandle;

constexpr uint32_t kListenerStartMs = 10000;
// Real time a new listener gets to start at least, whatever the time scale: a loaded machine may
// take that long to run a new thread.
constexpr uint64_t kListenerStartFloorRealMs = 2000;
constexpr uint32_t kMutexWaitSliceMs = 1000;
constexpr uint32_t kFailedWaitPauseMs = 333;
constexpr uint32_t kAfterMutexGrabPauseMs = 100;
constexpr uint32_t kWakeUpPauseMs = 200;
constexpr uint32_t kSuspensionSettleMs = 200;
// Real time a listener that missed the stop's wait still gets to end before it is left to itself.
constexpr uint64_t kLateListenerEndRealMs = 2000;

// One listener thread's state, owned jointly by the thread and, while it is the current
// listener, by the notification thread. A thread that did not end in time keeps its own state
// and never touches the state of a listener started after it.
struct Listener {
    std::atomic<uint32_t> threadId{0};
    std::atomic<bool> running{false};
    SyncHandle started;
    SyncHandle wake;
    SyncHandle finished;
    std::atomic<uint32_t> duty{LdIdle};
};

// The current listener (notification thread only).
struct ListenerSlot {
    std::shared_ptr<Listener> state;
    std::thread thread;
};

// Notification-thread state of the protocol.
struct Exclusive {
    SyncHandle heldMutex;
    SyncHandle ownSuspensionEvent;
    // Read by the listener thread to ignore this process's own request.
    std::atomic<bool> exclusiveMode{false};
};

ListenerSlot& listenerSlot() {
    static ListenerSlot* instance = new ListenerSlot;
    return *instance;
}

Exclusive& exclusive() {
    static Exclusive* instance = new Exclusive;
    return *instance;
}

// A listener that has been told to stop posts nothing: the window may already belong to the
// library's next initialisation.
void postToWindow(const Listener& listener, uint32_t message) {
    if (listener.duty.load() == LdStop)
        return;
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
void setOwnDuty(Listener& listener, uint32_t duty) {
    uint32_t current = listener.duty.load();
    while (current != LdStop && !listener.duty.compare_exchange_weak(current, duty)) {
    }
}

void waitIdle(const Listener& listener) {
    uint32_t error = 0;
    const uint32_t result = platform::waitForObject(listener.wake, platform::kInfiniteMs, &error);
    if (result == platform::kWaitFailed) {
        XLogAt(3, "Nw: ListenerThreadFn(): WaitForSingleObject failed with %d, GetLastError=0x%x",
               static_cast<int>(result), error);
        platform::sleepMs(kFailedWaitPauseMs);
    }
}

void waitForSuspend(Listener& listener, bool withMutex) {
    auto event = platform::createNamedEvent(kSuspensionEventName, true, false);
    if (event.error != 0) {
        XLogAt(3, "Nw: ListenerThreadFn(): Suspension event creation/open failed with 0x%x",
               event.error);
        setOwnDuty(listener, LdIdle);
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
        setOwnDuty(listener, LdIdle);
        return;
    }
    std::vector<SyncHandle> objects{listener.wake, event.handle};
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
            setOwnDuty(listener, LdIdle);
        } else {
            XLogAt(1, "Nw: Suspension request has arrived");
            setOwnDuty(listener, LdIdle);
            postToWindow(listener, kMessageSuspensionRequest);
        }
    } else if (withMutex &&
               (result == platform::kWaitObject0 + 2 || result == platform::kWaitAbandoned0 + 2)) {
        platform::releaseMutex(mutex.handle);
        if (!platform::isEventSignalled(event.handle)) {
            XLogAt(1, "Nw: Got access to the exclusive mutex during normal mode, grabbing it...");
            setOwnDuty(listener, LdWaitForSuspend);
            postToWindow(listener, kMessageExclusiveMutexFree);
            platform::sleepMs(kAfterMutexGrabPauseMs);
        }
    } else {
        XLogAt(3,
               "Nw: ListenerThreadFn(): WaitForMultipleObjects failed with %d, GetLastError=0x%x",
               static_cast<int>(result), error);
        setOwnDuty(listener, LdIdle);
    }
}

void waitForMutex(Listener& listener) {
    auto mutex = platform::createNamedMutex(kExclusiveMutexName, false);
    if (mutex.error != 0) {
        XLogAt(3,
               "Nw: ListenerThreadFn()/LdWaitMutex: Exclusive mutex creation/open failed with "
               "0x%x",
               mutex.error);
        setOwnDuty(listener, LdIdle);
        return;
    }
    for (;;) {
        const bool suspended = IsSuspendedByOtherProcess();
        uint32_t error = 0;
        const uint32_t result =
            platform::waitForAnyObject({listener.wake, mutex.handle}, kMutexWaitSliceMs, &error);
        if (result == platform::kWaitObject0)
            return;
        if (result == platform::kWaitObject0 + 1 || result == platform::kWaitAbandoned0 + 1) {
            XLogAt(1, "Nw: Got access to the exclusive mutex, waking up from suspended mode");
            setOwnDuty(listener, LdIdle);
            platform::releaseMutex(mutex.handle);
            platform::sleepMs(kWakeUpPauseMs);
            postToWindow(listener, kMessageWakeFromSuspension);
            return;
        }
        if (result == platform::kWaitTimeout) {
            if (suspended && !IsSuspendedByOtherProcess()) {
                XLogAt(1, "Nw: suspension event reset detected while waiting for the exclusive "
                          "mutex, waking up from suspended mode");
                setOwnDuty(listener, LdIdle);
                platform::sleepMs(kWakeUpPauseMs);
                postToWindow(listener, kMessageWakeFromSuspension);
                return;
            }
            continue;
        }
        XLogAt(3,
               "Nw: ListenerThreadFn(): WaitForMultipleObjects failed with %d, GetLastError=0x%x",
               static_cast<int>(result), error);
        setOwnDuty(listener, LdIdle);
        return;
    }
}

void ListenerThreadFn(const std::shared_ptr<Listener>& owned) {
    Listener& state = *owned;
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
            waitForSuspend(state, false);
            break;
        case LdWaitForSuspendAndMutex:
            waitForSuspend(state, true);
            break;
        case LdWaitForMutex:
            waitForMutex(state);
            break;
        default:
            waitIdle(state);
            break;
        }
    }
    state.running = false;
    XLogAt(1, "Nw: Listener thread stopping");
    platform::setEvent(state.finished);
}

// The listener's state with its three events; the error of the first that cannot be created.
uint32_t makeListener(std::shared_ptr<Listener>& made) {
    auto started = platform::createLocalEvent(false, false);
    auto wake = platform::createLocalEvent(false, false);
    auto finished = platform::createLocalEvent(true, false);
    for (const auto* event : {&started, &wake, &finished})
        if (event->error != 0)
            return event->error;
    made = std::make_shared<Listener>();
    made->started = started.handle;
    made->wake = wake.handle;
    made->finished = finished.handle;
    return 0;
}

} // namespace

uint32_t StartListener() {
    ListenerSlot& slot = listenerSlot();
    if (slot.state && slot.state->running)
        return 0;
    std::shared_ptr<Listener> state;
    try {
        const uint32_t error = makeListener(state);
        if (error != 0)
            return error;
        // The thread shares the state, so that it outlives a stop that does not wait for it.
        slot.thread = std::thread(ListenerThreadFn, state);
    } catch (const std::system_error&) {
        // The events go with `state`; a thread that cannot be created has no error of its own.
        return kErrorFail;
    } catch (const std::bad_alloc&) {
        return kErrorFail;
    }
    const auto startMs = static_cast<uint32_t>(std::max<uint64_t>(
        kListenerStartMs, platform::logicalFromRealMs(kListenerStartFloorRealMs)));
    if (platform::waitForObject(state->started, startMs) != platform::kWaitObject0) {
        state->duty = LdStop;
        platform::setEvent(state->wake);
        slot.thread.detach();
        return NwErrorTimeout;
    }
    state->running = true;
    slot.state = std::move(state);
    return 0;
}

void StopListener(uint32_t waitMs) {
    ListenerSlot& slot = listenerSlot();
    if (!slot.thread.joinable() || !slot.state) {
        XLogAt(1, "Nw: Thread was not created - nothing to terminate");
        return;
    }
    const std::shared_ptr<Listener> state = std::move(slot.state);
    state->duty = LdStop;
    platform::setEvent(state->wake);
    const uint32_t result = platform::waitForObject(state->finished, waitMs);
    if (result == platform::kWaitTimeout)
        XLogAt(3, "Nw: Listener thread termination timed out");
    else if (result != platform::kWaitObject0)
        XLogAt(3, "Nw: Listener thread termination failed with %d, GetLastError=0x%x",
               static_cast<int>(result), 0u);
    XLogAt(1, "Nw: Closing handle for listener thread 0x%x", state->threadId.load());
    // A listener that missed the stop's wait only because the machine is busy still ends within
    // a short real time: joined then, it cannot log into a library its caller shuts down next.
    const auto lateEndMs =
        static_cast<uint32_t>(platform::logicalFromRealMs(kLateListenerEndRealMs));
    if (result == platform::kWaitObject0 ||
        platform::waitForObject(state->finished, lateEndMs) == platform::kWaitObject0)
        slot.thread.join();
    else
        slot.thread.detach(); // it ends on its own once its wait returns, with its own state
    state->running = false;
}

void SetListenerDuty(uint32_t duty) {
    const std::shared_ptr<Listener>& state = listenerSlot().state;
    if (!state || !state->running || state->duty.load() == duty)
        return;
    state->duty = duty;
    platform::setEvent(state->wake);
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
