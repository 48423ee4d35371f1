#include "platform/SleepInhibitor.h"
#include "tests/support/WaitUntil.h"

#include "tests/support/SystemBusMocks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using platform::InhibitResult;
using platform::SleepInhibitor;

constexpr const char* kReason = "Updating the card's firmware";

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SleepInhibitorOnTheBus : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("KESTREL_SIM_ROOT");
        char pattern[] = "/tmp/kestrel-inhibit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        bus = std::make_unique<bustest::SystemBus>(folder);
    }
    void TearDown() override {
        bus.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    // Waits (bounded) until logind lists `count` inhibitors of Kestrel's.
    bool waitForKestrelInhibitors(size_t count) {
        return testsupport::waitUntil(
            [count] {
                const std::string list = bustest::SystemBus::logindInhibitors();
                size_t found = 0;
                for (size_t at = list.find("'Kestrel'"); at != std::string::npos;
                     at = list.find("'Kestrel'", at + 1))
                    ++found;
                return found == count;
            },
            bustest::kChangeWait);
    }

    std::string folder;
    std::unique_ptr<bustest::SystemBus> bus;
};

TEST_F(SleepInhibitorOnTheBus, BlockInhibitorIsHeldUntilReleasedAndTakenOnce) {
    ASSERT_TRUE(bus->startLogind());
    SleepInhibitor inhibitor;
    const SleepInhibitor::Outcome taken = inhibitor.take(kReason);
    ASSERT_EQ(taken.result, InhibitResult::taken) << taken.detail;
    EXPECT_FALSE(taken.alreadyHeld);
    EXPECT_TRUE(inhibitor.held());
    const std::string list = bustest::SystemBus::logindInhibitors();
    EXPECT_NE(list.find("'sleep:shutdown', 'Kestrel', \"Updating the card's firmware\", 'block'"),
              std::string::npos)
        << list;

    EXPECT_TRUE(inhibitor.take(kReason).alreadyHeld);
    EXPECT_TRUE(waitForKestrelInhibitors(1)) << bustest::SystemBus::logindInhibitors();

    EXPECT_TRUE(inhibitor.release());
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(waitForKestrelInhibitors(0)) << bustest::SystemBus::logindInhibitors();
    EXPECT_FALSE(inhibitor.release()) << "nothing left to release";
}

TEST_F(SleepInhibitorOnTheBus, DestroyedInhibitorIsDroppedByLogind) {
    ASSERT_TRUE(bus->startLogind());
    {
        SleepInhibitor inhibitor;
        ASSERT_EQ(inhibitor.take(kReason).result, InhibitResult::taken);
        ASSERT_TRUE(waitForKestrelInhibitors(1));
    }
    EXPECT_TRUE(waitForKestrelInhibitors(0)) << bustest::SystemBus::logindInhibitors();
}

TEST_F(SleepInhibitorOnTheBus, NoLogindOnTheBusOrNoBusIsNothingToTake) {
    SleepInhibitor inhibitor;
    const SleepInhibitor::Outcome withoutLogind = inhibitor.take(kReason);
    EXPECT_EQ(withoutLogind.result, InhibitResult::absent) << withoutLogind.detail;
    EXPECT_FALSE(inhibitor.held());

    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kestrel-test-bus", 1);
    const SleepInhibitor::Outcome withoutBus = inhibitor.take(kReason);
    EXPECT_EQ(withoutBus.result, InhibitResult::absent) << withoutBus.detail;
    EXPECT_FALSE(inhibitor.held());
}

TEST(SleepInhibitorSimulated, FileSaysWhatIsHeldWhileItIsHeld) {
    char pattern[] = "/tmp/kestrel-inhibit-sim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
    {
        SleepInhibitor inhibitor;
        ASSERT_EQ(inhibitor.take(kReason).result, InhibitResult::taken);
        EXPECT_EQ(readFile(root / "sleep-inhibitor"),
                  "sleep:shutdown\tKestrel\tUpdating the card's firmware\tblock\n");
        inhibitor.release();
        EXPECT_FALSE(fs::exists(root / "sleep-inhibitor"));
        ASSERT_EQ(inhibitor.take(kReason).result, InhibitResult::taken);
    }
    EXPECT_FALSE(fs::exists(root / "sleep-inhibitor")) << "released when the inhibitor goes";
    unsetenv("KESTREL_SIM_ROOT");
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

} // namespace
