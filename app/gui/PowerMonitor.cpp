#include "app/gui/PowerMonitor.h"

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
    callback = std::move(onChange);
    thread = std::thread([this] { run(); });
    {
        std::unique_lock<std::mutex> guard(lock);
        platform::waitFor(changed, guard, kThreadWaitMs, [this] { return windowReady; });
    }
    readAndReport();
}

void PowerMonitor::stop() {
    if (!thread.joinable())
        return;
    bool ended;
    {
        std::unique_lock<std::mutex> guard(lock);
        if (queue)
            queue.postQuit(0);
        ended = platform::waitFor(changed, guard, kThreadWaitMs, [this] { return finished; });
    }
    if (ended)
        thread.join();
    else
        thread.detach();
}

void PowerMonitor::run() {
    const platform::WindowHandle window = platform::createMessageWindow(
        [this](const platform::Message& message) -> int64_t {
            if (message.id == platform::kMessagePowerBroadcast &&
                message.wParam == platform::kPowerStatusChange)
                readAndReport();
            return 0;
        },
        "{4876A5E9-0975-464c-9D83-ADCEB886EE79}");
    platform::NotificationHandle registration = 0;
    platform::registerPowerNotification(window, registration);
    {
        std::lock_guard<std::mutex> guard(lock);
        queue = platform::currentThreadQueue();
        windowReady = true;
    }
    changed.notify_all();
    platform::runMessageLoop();
    platform::unregisterPowerNotification(registration);
    platform::destroyMessageWindow(window);
    {
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
        queue = platform::ThreadQueueRef();
    }
    changed.notify_all();
}

void PowerMonitor::readAndReport() {
    const platform::PowerStatus status = platform::readPowerStatus();
    // An unknown AC line status counts as mains.
    report(status.acLineStatus == platform::kAcOffline, status.batteryLifePercent);
}

void PowerMonitor::report(bool onBattery, int batteryPercent) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (onBattery == lastOnBattery && batteryPercent == lastPercent)
            return;
        lastOnBattery = onBattery;
        lastPercent = batteryPercent;
    }
    if (callback)
        callback(onBattery, batteryPercent);
}

} // namespace Kestrel
