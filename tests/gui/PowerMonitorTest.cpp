#include "GuiTestSupport.h"

#include "gui/PowerMonitor.h"
#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// Writes the simulated machine's power status the way its owner does: a new file renamed over.
void setPower(bool acOnline, int percent) {
    const std::string path = guitest::machineRoot() + "/power.json";
    {
        std::ofstream file(path + ".tmp");
        file << "{\"acOnline\": " << (acOnline ? "true" : "false")
             << ", \"batteryPercent\": " << percent << "}\n";
    }
    std::rename((path + ".tmp").c_str(), path.c_str());
}

TEST(PowerMonitor, ReportsTheStatusAtStartAndEveryChangeOnlyOnce) {
    setPower(true, 100);
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<bool, int>> reports;
    Kestrel::PowerMonitor monitor;
    monitor.start([&](bool onBattery, int percent) {
        std::lock_guard<std::mutex> guard(lock);
        reports.emplace_back(onBattery, percent);
        changed.notify_all();
    });
    auto waitForReports = [&](size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10),
                                [&] { return reports.size() >= count; });
    };
    ASSERT_TRUE(waitForReports(1));
    EXPECT_EQ(reports[0], std::make_pair(false, 100));

    setPower(false, 40);
    ASSERT_TRUE(waitForReports(2));
    EXPECT_EQ(reports[1], std::make_pair(true, 40));

    setPower(true, 40);
    ASSERT_TRUE(waitForReports(3));
    EXPECT_EQ(reports[2], std::make_pair(false, 40));
    monitor.stop();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(reports.size(), 3u) << "an unchanged status is not reported again";
}

TEST(PowerMonitor, ChangeWhileItsWindowIsStillStartingIsReported) {
    // Nearly no time to wait for the monitor's window: start() reads and reports without it, and
    // the change below mostly comes before the window listens for power broadcasts.
    constexpr int kRuns = 20;
    constexpr double kNoTimeToWait = 1e-6;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        setPower(true, 100);
        std::mutex lock;
        std::condition_variable changed;
        std::vector<std::pair<bool, int>> reports;
        platform::overrideTimeScale(kNoTimeToWait);
        Kestrel::PowerMonitor monitor;
        monitor.start([&](bool onBattery, int percent) {
            std::lock_guard<std::mutex> guard(lock);
            reports.emplace_back(onBattery, percent);
            changed.notify_all();
        });
        setPower(false, 40);
        platform::overrideTimeScale(1.0);
        {
            std::unique_lock<std::mutex> guard(lock);
            ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] {
                return !reports.empty() && reports.back() == std::make_pair(true, 40);
            })) << "the change before the window listened was lost";
        }
        monitor.stop();
    }
}

} // namespace
