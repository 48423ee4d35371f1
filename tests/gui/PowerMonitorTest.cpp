#include "GuiTestSupport.h"

#include "app/gui/PowerMonitor.h"

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

} // namespace
