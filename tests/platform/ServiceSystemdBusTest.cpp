#include "platform/Clock.h"
#include "platform/Service.h"

#include "tests/support/SystemBusMocks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using platform::ServiceError;

constexpr const char* kService = "CmxService";
constexpr const char* kUnit = "CmxService.service";

// systemd as a mock on a private system bus: a unit that takes its time to stop, one that never
// stops, and a manager that does not answer.
class SystemdOnTheBus : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("KESTREL_SIM_ROOT");
        char pattern[] = "/tmp/kestrel-systemd-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        bus = std::make_unique<bustest::SystemBus>(folder);
    }
    void TearDown() override {
        platform::overrideTimeScale(1);
        bus.reset();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    std::string unitState() { return bus->systemdState()["units"].value(kUnit, std::string()); }

    std::string folder;
    std::unique_ptr<bustest::SystemBus> bus;
};

TEST_F(SystemdOnTheBus, StopReturnsOnceTheUnitIsInactiveNotWhenTheJobIsQueued) {
    ASSERT_TRUE(bus->startSystemd({{"units", {{kUnit, "active"}}}, {"stop_delay", 1.0}}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::stopService(kService), ServiceError::kOk);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(unitState(), "inactive") << "the unit's ports are free when the stop returns";
    EXPECT_EQ(platform::stopService(kService), ServiceError::kNotActive);
    EXPECT_EQ(platform::startService(kService), ServiceError::kOk);
    EXPECT_EQ(unitState(), "active");
}

TEST_F(SystemdOnTheBus, UnitThatDoesNotStopInTimeIsATimeOutAfterTheBoundedWait) {
    // 20 s of waiting at this scale last one second.
    platform::overrideTimeScale(0.05);
    ASSERT_TRUE(bus->startSystemd({{"units", {{kUnit, "active"}}}, {"stop_delay", -1}}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::stopService(kService), ServiceError::kRequestTimeout);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_EQ(unitState(), "deactivating");
}

TEST_F(SystemdOnTheBus, ManagerThatDoesNotAnswerStopUnitIsATimeOutNotAbsence) {
    // The call's 25 s last 1.25 s at this scale; the mock answers after 4 s.
    platform::overrideTimeScale(0.05);
    ASSERT_TRUE(bus->startSystemd({{"units", {{kUnit, "active"}}}, {"stop_answer_delay", 4}}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::stopService(kService), ServiceError::kRequestTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

} // namespace
