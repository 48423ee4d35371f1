#include "platform/MessageWindow.h"

#include "platform/Clock.h"
#include "platform/DeviceTree.h"
#include "platform/PowerWatcher.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

constexpr uint32_t kMinimumTimerPeriodMs = 10; // USER_TIMER_MINIMUM

struct WindowTimer {
    WindowHandle window = kNoWindow;
    uint64_t id = 0;
    std::chrono::nanoseconds period{};
    TimePoint due;
};

struct MessageQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Message> posted;
    std::vector<WindowTimer> timers;

    std::function<void()> hook;
    std::thread hookThread;
    bool hookStop = false;
    std::optional<TimePoint> lastHookedDue;

    ~MessageQueue() { stopHookThread(); }

    void stopHookThread() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            hookStop = true;
            hook = nullptr;
        }
        changed.notify_all();
        if (hookThread.joinable()) {
            if (hookThread.get_id() == std::this_thread::get_id())
                hookThread.detach();
            else
                hookThread.join();
        }
    }

    std::optional<TimePoint> earliestDueLocked() const {
        std::optional<TimePoint> earliest;
        for (const auto& timer : timers)
            if (!earliest || timer.due < *earliest)
                earliest = timer.due;
        return earliest;
    }
};

std::shared_ptr<MessageQueue>& threadQueueSlot() {
    thread_local std::shared_ptr<MessageQueue> queue;
    return queue;
}

std::shared_ptr<MessageQueue> threadQueue() {
    auto& slot = threadQueueSlot();
    if (!slot)
        slot = std::make_shared<MessageQueue>();
    return slot;
}

struct WindowRecord {
    WindowProcedure procedure;
    std::shared_ptr<MessageQueue> queue;
    std::string name;
};

struct Registration {
    WindowHandle window = kNoWindow;
};

// A subscription to a device tree on behalf of a window.
struct TreeSubscription {
    std::shared_ptr<DeviceTree> tree;
    uint64_t id = 0;
    void cancel() {
        if (tree && id != 0)
            tree->unsubscribe(id);
        tree.reset();
        id = 0;
    }
};

struct DeviceRegistration {
    WindowHandle window = kNoWindow;
    TreeSubscription interfaces;
};

// The port and nodes-changed broadcasts of one window, shared by its device registrations.
struct BroadcastSubscription {
    TreeSubscription subscription;
    int registrations = 0;
};

struct Registry {
    std::mutex mutex;
    WindowHandle nextHandle = 1;
    NotificationHandle nextRegistration = 1;
    std::unordered_map<WindowHandle, std::shared_ptr<WindowRecord>> windows;
    std::unordered_map<NotificationHandle, DeviceRegistration> deviceRegistrations;
    std::unordered_map<WindowHandle, BroadcastSubscription> broadcasts;
    std::unordered_map<NotificationHandle, Registration> powerRegistrations;
};

Registry& registry() {
    static Registry* instance = new Registry; // outlives every thread's queue at exit
    return *instance;
}

std::shared_ptr<WindowRecord> findWindow(WindowHandle window) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    auto found = reg.windows.find(window);
    return found == reg.windows.end() ? nullptr : found->second;
}

std::string normalisedGuid(const std::string& guid) {
    std::string text;
    for (char c : guid)
        if (c != '{' && c != '}')
            text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void enqueue(MessageQueue& queue, Message message) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(queue.mutex);
        queue.posted.push_back(std::move(message));
        hook = queue.hook;
    }
    queue.changed.notify_all();
    if (hook)
        hook();
}

// Takes the next message: posted ones first, then one due timer. Waits until `deadline`
// (forever when empty) when `wait` is set.
bool takeMessage(MessageQueue& queue, Message& message, bool wait,
                 std::optional<TimePoint> deadline) {
    std::unique_lock<std::mutex> lock(queue.mutex);
    for (;;) {
        if (!queue.posted.empty()) {
            message = std::move(queue.posted.front());
            queue.posted.pop_front();
            return true;
        }
        const TimePoint now = SteadyClock::now();
        WindowTimer* due = nullptr;
        for (auto& timer : queue.timers)
            if (timer.due <= now && (due == nullptr || timer.due < due->due))
                due = &timer;
        if (due != nullptr) {
            message = Message{};
            message.window = due->window;
            message.id = kMessageTimer;
            message.wParam = due->id;
            // Missed periods collapse into this one tick.
            due->due += due->period;
            if (due->due <= now)
                due->due = now + due->period;
            lock.unlock();
            queue.changed.notify_all(); // the hook helper waits for the next due time
            return true;
        }
        if (!wait)
            return false;
        std::optional<TimePoint> wakeAt = queue.earliestDueLocked();
        if (deadline && (!wakeAt || *deadline < *wakeAt))
            wakeAt = deadline;
        if (deadline && now >= *deadline)
            return false;
        if (wakeAt)
            queue.changed.wait_until(lock, *wakeAt);
        else
            queue.changed.wait(lock);
    }
}

void hookThreadBody(MessageQueue* queue) {
    std::unique_lock<std::mutex> lock(queue->mutex);
    while (!queue->hookStop) {
        const auto due = queue->earliestDueLocked();
        if (due && *due <= SteadyClock::now() && queue->lastHookedDue != due) {
            queue->lastHookedDue = due;
            auto hook = queue->hook;
            lock.unlock();
            if (hook)
                hook();
            lock.lock();
            continue;
        }
        if (due && queue->lastHookedDue != due)
            queue->changed.wait_until(lock, *due);
        else
            queue->changed.wait(lock);
    }
}

template <class Map> std::vector<WindowHandle> windowsOf(const Map& registrations) {
    std::vector<WindowHandle> windows;
    for (const auto& entry : registrations)
        if (std::find(windows.begin(), windows.end(), entry.second.window) == windows.end())
            windows.push_back(entry.second.window);
    std::sort(windows.begin(), windows.end());
    return windows;
}

} // namespace

WindowHandle createMessageWindow(WindowProcedure procedure, const std::string& name) {
    auto record = std::make_shared<WindowRecord>();
    record->procedure = std::move(procedure);
    record->queue = threadQueue();
    record->name = name;
    Registry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    const WindowHandle handle = reg.nextHandle++;
    reg.windows.emplace(handle, std::move(record));
    return handle;
}

uint32_t destroyMessageWindow(WindowHandle window) {
    std::shared_ptr<WindowRecord> record;
    bool lostPowerListeners = false;
    std::vector<TreeSubscription> cancelled;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.mutex);
        auto found = reg.windows.find(window);
        if (found == reg.windows.end())
            return WindowError::kInvalidWindowHandle;
        record = found->second;
        reg.windows.erase(found);
        for (auto it = reg.deviceRegistrations.begin(); it != reg.deviceRegistrations.end();) {
            if (it->second.window != window) {
                ++it;
                continue;
            }
            cancelled.push_back(it->second.interfaces);
            it = reg.deviceRegistrations.erase(it);
        }
        if (auto broadcast = reg.broadcasts.find(window); broadcast != reg.broadcasts.end()) {
            cancelled.push_back(broadcast->second.subscription);
            reg.broadcasts.erase(broadcast);
        }
        const bool hadPower = !reg.powerRegistrations.empty();
        for (auto it = reg.powerRegistrations.begin(); it != reg.powerRegistrations.end();)
            it = it->second.window == window ? reg.powerRegistrations.erase(it) : std::next(it);
        lostPowerListeners = hadPower && reg.powerRegistrations.empty();
    }
    {
        MessageQueue& queue = *record->queue;
        std::lock_guard<std::mutex> guard(queue.mutex);
        queue.posted.erase(std::remove_if(queue.posted.begin(), queue.posted.end(),
                                          [&](const Message& m) { return m.window == window; }),
                           queue.posted.end());
        queue.timers.erase(std::remove_if(queue.timers.begin(), queue.timers.end(),
                                          [&](const WindowTimer& t) { return t.window == window; }),
                           queue.timers.end());
    }
    record->queue->changed.notify_all();
    // Outside the registry lock: a tree waits for a delivery in progress, which posts.
    for (auto& subscription : cancelled)
        subscription.cancel();
    if (lostPowerListeners)
        powerListenersChanged(false);
    return 0;
}

bool isWindow(WindowHandle window) {
    return findWindow(window) != nullptr;
}

uint32_t postMessage(WindowHandle window, uint32_t id, uint64_t wParam, int64_t lParam,
                     std::shared_ptr<const DeviceBroadcast> device) {
    auto record = findWindow(window);
    if (!record)
        return WindowError::kInvalidWindowHandle;
    Message message;
    message.window = window;
    message.id = id;
    message.wParam = wParam;
    message.lParam = lParam;
    message.device = std::move(device);
    enqueue(*record->queue, std::move(message));
    return 0;
}

uint32_t setTimer(WindowHandle window, uint64_t timerId, uint32_t periodMs) {
    auto record = findWindow(window);
    if (!record)
        return WindowError::kInvalidWindowHandle;
    const auto period = realDuration(std::max(periodMs, kMinimumTimerPeriodMs));
    MessageQueue& queue = *record->queue;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(queue.mutex);
        auto existing =
            std::find_if(queue.timers.begin(), queue.timers.end(), [&](const WindowTimer& t) {
                return t.window == window && t.id == timerId;
            });
        WindowTimer timer{window, timerId, period, SteadyClock::now() + period};
        if (existing != queue.timers.end())
            *existing = timer;
        else
            queue.timers.push_back(timer);
    }
    queue.changed.notify_all();
    return 0;
}

uint32_t killTimer(WindowHandle window, uint64_t timerId) {
    auto record = findWindow(window);
    if (!record)
        return WindowError::kInvalidWindowHandle;
    MessageQueue& queue = *record->queue;
    {
        std::lock_guard<std::mutex> guard(queue.mutex);
        auto existing =
            std::find_if(queue.timers.begin(), queue.timers.end(), [&](const WindowTimer& t) {
                return t.window == window && t.id == timerId;
            });
        if (existing == queue.timers.end())
            return WindowError::kInvalidTimerHandle;
        queue.timers.erase(existing);
    }
    queue.changed.notify_all();
    return 0;
}

bool getMessage(Message& message) {
    takeMessage(*threadQueue(), message, true, std::nullopt);
    return message.id != kMessageQuit;
}

bool peekMessage(Message& message) {
    return takeMessage(*threadQueue(), message, false, std::nullopt);
}

int64_t dispatchMessage(const Message& message) {
    if (message.window == kNoWindow)
        return 0;
    auto record = findWindow(message.window);
    if (!record || !record->procedure)
        return 0;
    return record->procedure(message);
}

void postQuitMessage(int exitCode) {
    Message quit;
    quit.id = kMessageQuit;
    quit.wParam = static_cast<uint64_t>(static_cast<int64_t>(exitCode));
    enqueue(*threadQueue(), std::move(quit));
}

int runMessageLoop() {
    Message message;
    while (getMessage(message))
        dispatchMessage(message);
    return static_cast<int>(static_cast<int64_t>(message.wParam));
}

bool pumpMessagesUntil(uint64_t ms, const std::function<bool()>& done) {
    auto queue = threadQueue();
    const TimePoint deadline = SteadyClock::now() + realDuration(ms);
    for (;;) {
        if (done && done())
            return true;
        Message message;
        if (!takeMessage(*queue, message, true, deadline))
            return done && done();
        if (message.id == kMessageQuit) {
            // Leave the quit request for the loop that owns the thread.
            enqueue(*queue, std::move(message));
            return done && done();
        }
        dispatchMessage(message);
    }
}

int pumpPendingMessages() {
    auto queue = threadQueue();
    int count = 0;
    Message message;
    while (takeMessage(*queue, message, false, std::nullopt)) {
        if (message.id == kMessageQuit) {
            enqueue(*queue, std::move(message));
            break;
        }
        dispatchMessage(message);
        ++count;
    }
    return count;
}

bool ThreadQueueRef::postQuit(int exitCode) const {
    if (!queue_)
        return false;
    Message quit;
    quit.id = kMessageQuit;
    quit.wParam = static_cast<uint64_t>(static_cast<int64_t>(exitCode));
    enqueue(*static_cast<MessageQueue*>(queue_.get()), std::move(quit));
    return true;
}

ThreadQueueRef currentThreadQueue() {
    ThreadQueueRef ref;
    ref.queue_ = threadQueue();
    return ref;
}

void setMessageWakeHook(std::function<void()> hook) {
    auto queue = threadQueue();
    queue->stopHookThread();
    if (!hook)
        return;
    {
        std::lock_guard<std::mutex> guard(queue->mutex);
        queue->hookStop = false;
        queue->hook = std::move(hook);
        queue->lastHookedDue.reset();
    }
    queue->hookThread = std::thread(hookThreadBody, queue.get());
}

namespace {

// Posts the arrivals and removals of the interfaces of one class to the window.
TreeSubscription subscribeInterfaceChanges(const std::shared_ptr<DeviceTree>& tree,
                                           WindowHandle window, const std::string& interfaceClass) {
    TreeSubscription interfaces{tree, 0};
    NotificationFilter interfaceFilter;
    interfaceFilter.interfaceClasses.push_back(interfaceClass);
    interfaceFilter.ports = false;
    interfaceFilter.nodesChanged = false;
    interfaces.id = tree->subscribe(interfaceFilter, [window](const DeviceTreeChange& change) {
        const bool arrival = change.kind == DeviceTreeChange::Kind::InterfaceArrival;
        auto device = std::make_shared<DeviceBroadcast>(DeviceBroadcast{
            DeviceBroadcast::Type::DeviceInterface, change.interfaceClass, change.name});
        postMessage(window, kMessageDeviceChange, arrival ? kDeviceArrival : kDeviceRemoveComplete,
                    0, std::move(device));
    });
    return interfaces;
}

// Posts what every top-level window hears: ports that come and go and changed device nodes.
TreeSubscription subscribeBroadcasts(const std::shared_ptr<DeviceTree>& tree, WindowHandle window) {
    TreeSubscription broadcasts{tree, 0};
    NotificationFilter broadcastFilter;
    broadcastFilter.ports = true;
    broadcastFilter.nodesChanged = true;
    broadcasts.id = tree->subscribe(broadcastFilter, [window](const DeviceTreeChange& change) {
        if (change.kind == DeviceTreeChange::Kind::NodesChanged) {
            postMessage(window, kMessageDeviceChange, kDeviceNodesChanged, 0);
            return;
        }
        if (change.kind != DeviceTreeChange::Kind::PortArrival &&
            change.kind != DeviceTreeChange::Kind::PortRemoval)
            return;
        const bool arrival = change.kind == DeviceTreeChange::Kind::PortArrival;
        auto device = std::make_shared<DeviceBroadcast>(
            DeviceBroadcast{DeviceBroadcast::Type::Port, {}, change.name});
        postMessage(window, kMessageDeviceChange, arrival ? kDeviceArrival : kDeviceRemoveComplete,
                    0, std::move(device));
    });
    return broadcasts;
}

// Keeps the registration while the window exists; a window keeps one broadcast subscription
// however many registrations it has. What is not kept is cancelled outside the lock.
uint32_t keepRegistration(WindowHandle window, const TreeSubscription& interfaces,
                          const TreeSubscription& broadcasts, NotificationHandle& registration) {
    std::vector<TreeSubscription> unused;
    uint32_t result = 0;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.mutex);
        if (reg.windows.count(window) == 0) {
            result = WindowError::kInvalidWindowHandle;
            unused = {interfaces, broadcasts};
        } else {
            registration = reg.nextRegistration++;
            reg.deviceRegistrations[registration] = DeviceRegistration{window, interfaces};
            BroadcastSubscription& shared = reg.broadcasts[window];
            if (shared.registrations++ == 0)
                shared.subscription = broadcasts;
            else
                unused.push_back(broadcasts);
        }
    }
    for (auto& subscription : unused)
        subscription.cancel();
    return result;
}

} // namespace

uint32_t registerDeviceNotification(WindowHandle window, const std::string& interfaceClass,
                                    NotificationHandle& registration) {
    registration = 0;
    if (normalisedGuid(interfaceClass).empty())
        return WindowError::kInvalidParameter;
    if (!isWindow(window))
        return WindowError::kInvalidWindowHandle;
    std::shared_ptr<DeviceTree> tree = deviceTree();
    if (!tree)
        return WindowError::kInvalidParameter;
    // Subscriptions are made outside the registry lock, which their deliveries take.
    TreeSubscription interfaces = subscribeInterfaceChanges(tree, window, interfaceClass);
    TreeSubscription broadcasts = subscribeBroadcasts(tree, window);
    if (interfaces.id == 0 || broadcasts.id == 0) {
        interfaces.cancel();
        broadcasts.cancel();
        return WindowError::kFail;
    }
    return keepRegistration(window, interfaces, broadcasts, registration);
}

uint32_t unregisterDeviceNotification(NotificationHandle registration) {
    std::vector<TreeSubscription> cancelled;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.mutex);
        auto found = reg.deviceRegistrations.find(registration);
        if (found == reg.deviceRegistrations.end())
            return WindowError::kInvalidHandle;
        cancelled.push_back(found->second.interfaces);
        auto broadcast = reg.broadcasts.find(found->second.window);
        if (broadcast != reg.broadcasts.end() && --broadcast->second.registrations == 0) {
            cancelled.push_back(broadcast->second.subscription);
            reg.broadcasts.erase(broadcast);
        }
        reg.deviceRegistrations.erase(found);
    }
    for (auto& subscription : cancelled)
        subscription.cancel();
    return 0;
}

uint32_t registerPowerNotification(WindowHandle window, NotificationHandle& registration) {
    registration = 0;
    bool first = false;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.mutex);
        if (reg.windows.count(window) == 0)
            return WindowError::kInvalidWindowHandle;
        first = reg.powerRegistrations.empty();
        registration = reg.nextRegistration++;
        reg.powerRegistrations[registration] = Registration{window};
    }
    if (first)
        powerListenersChanged(true);
    return 0;
}

uint32_t unregisterPowerNotification(NotificationHandle registration) {
    bool last = false;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.mutex);
        if (reg.powerRegistrations.erase(registration) != 1)
            return WindowError::kInvalidHandle;
        last = reg.powerRegistrations.empty();
    }
    if (last)
        powerListenersChanged(false);
    return 0;
}

void publishPowerEvent(uint32_t powerEvent) {
    std::vector<WindowHandle> targets;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.mutex);
        targets = windowsOf(reg.powerRegistrations);
    }
    for (WindowHandle window : targets)
        postMessage(window, kMessagePowerBroadcast, powerEvent, 0);
}

} // namespace platform
