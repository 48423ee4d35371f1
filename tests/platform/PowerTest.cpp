#include "platform/Clock.h"
#include "platform/MessageWindow.h"
#include "platform/Power.h"
#include "platform/linux/PowerLinux.h"
#include "platform/sim/PowerSimulated.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace platform;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    const fs::path temporary = path.string() + ".tmp";
    std::ofstream(temporary) << text;
    fs::rename(temporary, path);
}

class PowerTest : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{0.01};
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-power-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override {
        unsetenv("KESTREL_SIM_ROOT");
        std::error_code error;
        fs::remove_all(root, error);
    }

    fs::path root;
};

TEST_F(PowerTest, SimulatedStatusFileIsReadWithNeutralDefaultsAndClearErrors) {
    std::string problem;
    PowerStatus status = readSimulatedPowerStatus(root, &problem);
    EXPECT_EQ(status.acLineStatus, kAcOnline); // no file: mains, no battery
    EXPECT_EQ(status.batteryLifePercent, kBatteryPercentUnknown);
    EXPECT_TRUE(problem.empty());

    writeFile(root / "power.json", R"({"acOnline": false, "batteryPercent": 42})");
    status = readSimulatedPowerStatus(root, &problem);
    EXPECT_EQ(status.acLineStatus, kAcOffline);
    EXPECT_EQ(status.batteryLifePercent, 42);

    for (const char* bad : {"{\"acOnline\": false, \"batteryPercent\": 142}", "{\"acOnline\": 1}",
                            "[true]", "{\"acOnline\": tru", ""}) {
        problem.clear();
        writeFile(root / "power.json", bad);
        status = readSimulatedPowerStatus(root, &problem);
        EXPECT_FALSE(problem.empty()) << bad;
        EXPECT_EQ(status, PowerStatus{}) << bad;
    }

    setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
    writeFile(root / "power.json", R"({"batteryPercent": 7})");
    status = readPowerStatus();
    EXPECT_EQ(status.acLineStatus, kAcOnline);
    EXPECT_EQ(status.batteryLifePercent, 7);
}

TEST_F(PowerTest, PowerSupplyFolderGivesMainsAndMeanBatteryLife) {
    const fs::path supplies = root / "power_supply";
    fs::create_directories(supplies);
    EXPECT_EQ(readPowerSupplyFolder(supplies), PowerStatus{}); // a desktop without supplies

    writeFile(supplies / "AC" / "type", "Mains\n");
    writeFile(supplies / "AC" / "online", "0\n");
    writeFile(supplies / "BAT0" / "type", "Battery\n");
    writeFile(supplies / "BAT0" / "capacity", "80\n");
    writeFile(supplies / "BAT0" / "status", "Discharging\n");
    writeFile(supplies / "BAT1" / "type", "Battery\n");
    writeFile(supplies / "BAT1" / "capacity", "40\n");
    writeFile(supplies / "BAT2" / "type", "Battery\n");
    writeFile(supplies / "BAT2" / "present", "0\n");
    writeFile(supplies / "BAT2" / "capacity", "0\n");
    PowerStatus status = readPowerSupplyFolder(supplies);
    EXPECT_EQ(status.acLineStatus, kAcOffline);
    EXPECT_EQ(status.batteryLifePercent, 60);

    writeFile(supplies / "AC" / "online", "1\n");
    EXPECT_EQ(readPowerSupplyFolder(supplies).acLineStatus, kAcOnline);

    // Without a mains supply, a discharging battery means battery power.
    fs::remove_all(supplies / "AC");
    EXPECT_EQ(readPowerSupplyFolder(supplies).acLineStatus, kAcOffline);
    writeFile(supplies / "BAT0" / "capacity", "garbage\n");
    EXPECT_EQ(readPowerSupplyFolder(supplies).batteryLifePercent, 40);
}

class PowerBroadcastTest : public PowerTest {
protected:
    void SetUp() override {
        PowerTest::SetUp();
        setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
        window = createMessageWindow([this](const Message& message) {
            if (message.id == kMessagePowerBroadcast)
                events.push_back(static_cast<uint32_t>(message.wParam));
            return 0;
        });
        ASSERT_EQ(registerPowerNotification(window, registration), 0u);
    }
    void TearDown() override {
        unregisterPowerNotification(registration);
        destroyMessageWindow(window);
        PowerTest::TearDown();
    }

    bool waitForEvents(size_t count) {
        return pumpMessagesUntil(500000, [&] { return events.size() >= count; });
    }

    WindowHandle window = kNoWindow;
    NotificationHandle registration = 0;
    std::vector<uint32_t> events;
};

TEST_F(PowerBroadcastTest, DroppedStandbyAndResumeFilesBecomeBroadcasts) {
    writeFile(root / "events" / "standby", "");
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_EQ(events, std::vector<uint32_t>{kPowerSuspend});
    writeFile(root / "events" / "resume", "");
    ASSERT_TRUE(waitForEvents(3));
    EXPECT_EQ(events,
              (std::vector<uint32_t>{kPowerSuspend, kPowerResumeAutomatic, kPowerResumeSuspend}));
    // Dropping the same request again is a new event; so is one with a suffix.
    writeFile(root / "events" / "standby-2", "");
    ASSERT_TRUE(waitForEvents(4));
    EXPECT_EQ(events.back(), kPowerSuspend);
    std::ofstream(root / "events" / "unrelated") << "x";
    std::ofstream(root / "events" / "standbyish") << "x";
    pumpMessagesUntil(20000, nullptr);
    EXPECT_EQ(events.size(), 4u);
}

TEST_F(PowerBroadcastTest, StatusFileChangesAreBroadcastOnlyWhenTheStatusChanges) {
    writeFile(root / "power.json", R"({"acOnline": false, "batteryPercent": 90})");
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_EQ(events, std::vector<uint32_t>{kPowerStatusChange});
    EXPECT_EQ(readPowerStatus().acLineStatus, kAcOffline);
    writeFile(root / "power.json", R"({"batteryPercent": 90, "acOnline": false})");
    writeFile(root / "power.json", R"({"acOnline": true, "batteryPercent": 90})");
    ASSERT_TRUE(waitForEvents(2));
    pumpMessagesUntil(20000, nullptr);
    EXPECT_EQ(events.size(), 2u); // the rewrite with the same status was silent
}

} // namespace
