#include "gui/PowerMonitor.h"

#include "platform/Clock.h"
#include "platform/Power.h"

namespace Kestrel {
namespace {

constexpr uint32_t kThreadWaitMs = 1000;

} // namespace

PowerMonitor::~PowerMonitor() {
    stop();
}

void PowerMonitor::start(Callback onChange) {
    state = std::make_shared<State>();
    state->callback = std::move(onChange);
    thread = std::thread([shared = state] { run(shared); });
    {
        std::unique_lock<std::mutex> guard(state->lock);
        platform::waitFor(state->changed, guard, kThreadWaitMs,
                          [this] { return state->windowReady; });
    }
    state->readAndReport();
}

void PowerMonitor::stop() {
    if (!thread.joinable())
        return;
    bool ended;
    {
        std::unique_lock<std::mutex> guard(state->lock);
        if (state->queue)
            state->queue.postQuit(0);
        ended = platform::waitFor(state->changed, guard, kThreadWaitMs,
                                  [this] { return state->finished; });
        // A late thread keeps its state alive but reports nothing more.
        state->callback = nullptr;
    }
    if (ended)
        thread.join();
    else
        thread.detach();
}

void PowerMonitor::run(const std::shared_ptr<State>& state) {
    const platform::WindowHandle window = platform::createMessageWindow(
        [state](const platform::Message& message) -> int64_t {
            if (message.id == platform::kMessagePowerBroadcast &&
                message.wParam == platform::kPowerStatusChange)
                state->readAndReport();
            return 0;
        },
        "{4876A5E9-0975-464c-9D83-ADCEB886EE79}");
    platform::NotificationHandle registration = 0;
    platform::registerPowerNotification(window, registration);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->queue = platform::currentThreadQueue();
        state->windowReady = true;
    }
    state->changed.notify_all();
    // A change before the registration reached no window; when start() stopped waiting early it
    // may have read the status before that change. Reading once more now loses nothing, and an
    // unchanged status is not reported twice.
    state->readAndReport();
    platform::runMessageLoop();
    platform::unregisterPowerNotification(registration);
    platform::destroyMessageWindow(window);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->finished = true;
        state->queue = platform::ThreadQueueRef();
    }
    state->changed.notify_all();
}

void PowerMonitor::State::readAndReport() {
    // Both threads read: one read and its report at a time, so an older status is never
    // reported after a newer one.
    std::lock_guard<std::mutex> guard(readLock);
    const platform::PowerStatus status = platform::readPowerStatus();
    // An unknown AC line status counts as mains.
    report(status.acLineStatus == platform::kAcOffline, status.batteryLifePercent);
}

void PowerMonitor::State::report(bool onBattery, int batteryPercent) {
    Callback target;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (onBattery == lastOnBattery && batteryPercent == lastPercent)
            return;
        lastOnBattery = onBattery;
        lastPercent = batteryPercent;
        target = callback;
    }
    if (target)
        target(onBattery, batteryPercent);
}

} // namespace Kestrel
