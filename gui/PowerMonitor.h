#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/MessageWindow.h"

namespace Kestrel {

// Follows the computer's power status on a thread of its own: a hidden window registered for
// power broadcasts reads the status on every status change and reports (on battery, battery
// percent) to the callback, which hears only changes.
class PowerMonitor {
public:
    using Callback = std::function<void(bool onBattery, int batteryPercent)>;

    PowerMonitor() = default;
    ~PowerMonitor();
    PowerMonitor(const PowerMonitor&) = delete;
    PowerMonitor& operator=(const PowerMonitor&) = delete;

    // Starts the thread (waiting up to a second for its window) and reports the status once on
    // the calling thread.
    void start(Callback callback);
    // Ends the thread, waiting up to a second for it.
    void stop();

private:
    // Shared with the thread, so that a thread that outlives stop() touches only this.
    struct State {
        Callback callback;
        std::mutex lock;
        std::mutex readLock; // held by readAndReport, never with `lock` held before it
        std::condition_variable changed;
        bool windowReady = false;
        bool finished = false;
        platform::ThreadQueueRef queue;
        bool lastOnBattery = false;
        int lastPercent = 0;

        void readAndReport();
        void report(bool onBattery, int batteryPercent);
    };
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state;
    std::thread thread;
};

} // namespace Kestrel
