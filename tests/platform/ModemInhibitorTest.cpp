#include "tests/support/SystemBusMocks.h"
#include "tests/support/WaitUntil.h"

#include "platform/Clock.h"
#include "platform/ModemInhibitor.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

using platform::ModemInhibitor;
using platform::ModemManagerResult;

constexpr const char* kCardInstance = "USB\\VID_1234&PID_5678\\1-1";
constexpr const char* kCardPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char* kOtherPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
// Scale at which the ten seconds of looking for a card take half a second.
constexpr double kQuickScale = 0.05;
constexpr auto kStateWait = std::chrono::seconds(10);

std::string temporaryFolder() {
    char pattern[] = "/tmp/kestrel-mm-XXXXXX";
    return mkdtemp(pattern) != nullptr ? pattern : "";
}

// The inhibitor against the ModemManager mock on a private system bus.
class ModemInhibitorOnBus : public ::testing::Test {
protected:
    void SetUp() override {
        folder = temporaryFolder();
        ASSERT_FALSE(folder.empty());
        bus = std::make_unique<bustest::SystemBus>(folder);
    }
    void TearDown() override {
        bus.reset();
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }

    nlohmann::json inhibited() { return bus->modemManagerState()["inhibited"]; }
    // Waits (bounded) until `done` holds.
    template <class Predicate> static bool waitUntil(Predicate done) {
        return testsupport::waitUntil(done, kStateWait);
    }
    nlohmann::json calls() { return bus->modemManagerState()["calls"]; }

    std::string folder;
    std::unique_ptr<bustest::SystemBus> bus;
};

TEST_F(ModemInhibitorOnBus, CardIsInhibitedOnceAndReleasedFromTheSameConnection) {
    ASSERT_TRUE(bus->startModemManager({{"uid", "card-uid"}, {"physdev", kCardPath}}));
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail;
    EXPECT_EQ(held.modem.uid, "card-uid");
    EXPECT_EQ(held.modem.physicalDevice, kCardPath);
    EXPECT_TRUE(inhibitor.holding());
    EXPECT_TRUE(inhibited().contains("card-uid"));

    // The card back from its re-enumeration is the same card: nothing more to do.
    const auto again = inhibitor.hold(kCardInstance);
    EXPECT_EQ(again.result, ModemManagerResult::ok);
    EXPECT_TRUE(again.alreadyHeld);
    EXPECT_EQ(calls().size(), 1u);

    const auto released = inhibitor.release();
    EXPECT_EQ(released.result, ModemManagerResult::ok) << released.detail;
    EXPECT_EQ(released.modem.uid, "card-uid");
    EXPECT_FALSE(inhibitor.holding());
    const auto record = calls();
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[1][1], false);
    EXPECT_EQ(record[1][2], record[0][2]) << "released from another connection";
    EXPECT_TRUE(inhibited().empty());
}

TEST_F(ModemInhibitorOnBus, CardInhibitedByAnotherProgramIsRefusedAsInProgress) {
    ASSERT_TRUE(bus->startModemManager(
        {{"uid", "card-uid"}, {"physdev", kCardPath}, {"inhibited_by", ":1.99"}}));
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    EXPECT_EQ(held.result, ModemManagerResult::inProgress);
    EXPECT_NE(held.detail.find("already inhibited"), std::string::npos) << held.detail;
    EXPECT_FALSE(inhibitor.holding());
    EXPECT_EQ(inhibited()["card-uid"], ":1.99");
}

TEST_F(ModemInhibitorOnBus, WithoutModemManagerOrBusThereIsNothingToInhibit) {
    ModemInhibitor inhibitor;
    EXPECT_EQ(inhibitor.hold(kCardInstance).result, ModemManagerResult::absent);
    EXPECT_FALSE(inhibitor.holding());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + folder + "/no-bus").c_str(), 1);
    EXPECT_EQ(inhibitor.hold(kCardInstance).result, ModemManagerResult::absent);
}

TEST_F(ModemInhibitorOnBus, CardStillBeingProbedIsInhibitedOnceModemManagerKnowsIt) {
    ASSERT_TRUE(bus->startModemManager(
        {{"uid", "card-uid"}, {"physdev", kCardPath}, {"appear_after", 1.0}}));
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    EXPECT_EQ(held.result, ModemManagerResult::ok) << held.detail;
    EXPECT_TRUE(inhibited().contains("card-uid"));
}

TEST_F(ModemInhibitorOnBus, CardModemManagerNeverKnowsIsNotFoundAfterTheRetryTime) {
    const testsupport::ScopedTimeScale quick(kQuickScale);
    ASSERT_TRUE(bus->startModemManager({{"uid", "other-uid"}, {"physdev", kOtherPath}}));
    ModemInhibitor inhibitor;
    const uint64_t start = platform::tickMs();
    const auto held = inhibitor.hold(kCardInstance);
    EXPECT_EQ(held.result, ModemManagerResult::notFound);
    EXPECT_GE(platform::tickMs() - start, ModemInhibitor::kFindTimeoutMs);
    EXPECT_FALSE(inhibitor.holding());
    EXPECT_TRUE(calls().empty());
}

TEST_F(ModemInhibitorOnBus, KilledHolderLosesItsInhibitionWhenItLeavesTheBus) {
    ASSERT_TRUE(bus->startModemManager({{"uid", "card-uid"}, {"physdev", kCardPath}}));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ModemInhibitor inhibitor;
        const char held = inhibitor.hold(kCardInstance).result == ModemManagerResult::ok;
        [[maybe_unused]] const ssize_t written = write(ready[1], &held, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    close(ready[0]);
    EXPECT_TRUE(held);
    EXPECT_TRUE(inhibited().contains("card-uid"));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(bus->waitForState([](const nlohmann::json& state) {
        return state.contains("inhibited") && state["inhibited"].empty();
    }));
}

TEST_F(ModemInhibitorOnBus, ModemManager120WithoutPhysdevFindsTheCardByItsDevice) {
    // 1.20 has no Physdev: the modem's Device is the USB device's sysfs path.
    ASSERT_TRUE(bus->startModemManager({{"version", "1.20.4"}, {"uid", kCardPath}}));
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail;
    EXPECT_EQ(held.modem.uid, kCardPath);
    EXPECT_TRUE(held.modem.physicalDevice.empty());
    EXPECT_TRUE(inhibited().contains(kCardPath));
}

TEST_F(ModemInhibitorOnBus, ModemOfAnotherUsbDeviceIsNotTheCards) {
    platform::overrideTimeScale(kQuickScale);
    ASSERT_TRUE(bus->startModemManager({{"version", "1.20.4"}, {"uid", kOtherPath}}));
    ModemInhibitor inhibitor;
    EXPECT_EQ(inhibitor.hold(kCardInstance).result, ModemManagerResult::notFound);
    EXPECT_TRUE(calls().empty());
}

TEST_F(ModemInhibitorOnBus, RefusalOtherThanProbingEndsTheSearchAtOnce) {
    for (const char* refusal : {"org.freedesktop.ModemManager1.Error.Core.Unauthorized",
                                "org.freedesktop.ModemManager1.Error.Core.Failed"}) {
        ASSERT_TRUE(bus->startModemManager(
            {{"uid", "card-uid"}, {"physdev", kCardPath}, {"refuse", refusal}}));
        ModemInhibitor inhibitor;
        const auto held = inhibitor.hold(kCardInstance);
        EXPECT_EQ(held.result, ModemManagerResult::failed) << refusal;
        EXPECT_NE(held.detail.find(refusal), std::string::npos) << held.detail;
        EXPECT_FALSE(inhibitor.holding());
        // Asked once, not again.
        EXPECT_EQ(calls().size(), 1u);
        bus->stopModemManager();
    }
}

TEST_F(ModemInhibitorOnBus, ModemManagerThatNeverAnswersFailsAfterTheCallsTimeout) {
    platform::overrideTimeScale(kQuickScale);
    ASSERT_TRUE(bus->startModemManager(
        {{"uid", "card-uid"}, {"physdev", kCardPath}, {"refuse", "no-answer"}}));
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    EXPECT_EQ(held.result, ModemManagerResult::failed) << held.detail;
    EXPECT_FALSE(inhibitor.holding());
    EXPECT_EQ(calls().size(), 1u);
}

// What the inhibitor's watch told of the inhibitions it made for a new answerer.
class WatchReports {
public:
    ModemInhibitor::Listener listener() {
        return [this](const ModemInhibitor::Outcome& outcome) {
            std::lock_guard<std::mutex> guard(mutex_);
            outcomes_.push_back(outcome);
        };
    }
    std::vector<ModemInhibitor::Outcome> outcomes() {
        std::lock_guard<std::mutex> guard(mutex_);
        return outcomes_;
    }

private:
    std::mutex mutex_;
    std::vector<ModemInhibitor::Outcome> outcomes_;
};

TEST_F(ModemInhibitorOnBus, RestartedModemManagerIsAskedAgainAtOnce) {
    ASSERT_TRUE(bus->startModemManager({{"uid", "card-uid"}, {"physdev", kCardPath}}));
    WatchReports reports;
    ModemInhibitor inhibitor(reports.listener());
    const auto first = inhibitor.hold(kCardInstance);
    ASSERT_EQ(first.result, ModemManagerResult::ok);
    EXPECT_FALSE(first.again);
    const std::string holder = calls()[0][2];

    bus->stopModemManager();
    EXPECT_TRUE(waitUntil([&] { return !inhibitor.holding(); }));
    ASSERT_TRUE(bus->startModemManager({{"uid", "card-uid"}, {"physdev", kCardPath}}));
    EXPECT_TRUE(bus->waitForState([&](const nlohmann::json& state) {
        return state.contains("inhibited") && state["inhibited"].value("card-uid", "") == holder;
    }));
    EXPECT_TRUE(waitUntil([&] { return inhibitor.holding(); }));
    // The card is held: a check of the card asks nobody again.
    EXPECT_TRUE(inhibitor.hold(kCardInstance).alreadyHeld);
    EXPECT_EQ(calls().size(), 1u);
    // The watch told of the renewed hold once; the daemon's leaving alone is nothing to tell.
    EXPECT_TRUE(waitUntil([&] { return !reports.outcomes().empty(); }));
    const auto told = reports.outcomes();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].result, ModemManagerResult::ok) << told[0].detail;
    EXPECT_TRUE(told[0].again);
    EXPECT_EQ(told[0].modem.uid, "card-uid");
    EXPECT_EQ(told[0].modem.physicalDevice, kCardPath);
}

TEST_F(ModemInhibitorOnBus, ModemManagerThatStartsAfterTheCheckIsAskedWhenItComes) {
    WatchReports reports;
    ModemInhibitor inhibitor(reports.listener());
    // The bus is there, the daemon not yet.
    const auto first = inhibitor.hold(kCardInstance);
    EXPECT_EQ(first.result, ModemManagerResult::absent);
    ASSERT_EQ(first.detail.find("no system bus"), std::string::npos) << first.detail;
    ASSERT_TRUE(bus->startModemManager({{"uid", "card-uid"}, {"physdev", kCardPath}}));
    EXPECT_TRUE(bus->waitForState([](const nlohmann::json& state) {
        return state.contains("inhibited") && state["inhibited"].contains("card-uid");
    }));
    EXPECT_TRUE(waitUntil([&] { return inhibitor.holding(); }));
    // Told as a first inhibition: no daemon had held the card before.
    EXPECT_TRUE(waitUntil([&] { return reports.outcomes().size() == 1; }));
    const auto told = reports.outcomes();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].result, ModemManagerResult::ok);
    EXPECT_FALSE(told[0].again);
}

TEST_F(ModemInhibitorOnBus, CancelEndsOnlyTheSearchRunningThen) {
    ASSERT_TRUE(bus->startModemManager(
        {{"uid", "card-uid"}, {"physdev", kCardPath}, {"appear_after", 0.5}}));
    ModemInhibitor inhibitor;
    inhibitor.cancel();
    const auto held = inhibitor.hold(kCardInstance);
    EXPECT_EQ(held.result, ModemManagerResult::ok) << held.detail;
}

TEST_F(ModemInhibitorOnBus, ReleaseCallsOutOnceWhateverReleasesAfterIt) {
    ASSERT_TRUE(bus->startModemManager({{"uid", "card-uid"}, {"physdev", kCardPath}}));
    {
        ModemInhibitor inhibitor;
        ASSERT_EQ(inhibitor.hold(kCardInstance).result, ModemManagerResult::ok);
        EXPECT_EQ(inhibitor.release().modem.uid, "card-uid");
        EXPECT_TRUE(inhibitor.release().modem.uid.empty());
    }
    const auto record = calls();
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[1][1], false);
    EXPECT_TRUE(inhibited().empty());
}

// The simulated machine's ModemManager, DIR/modemmanager.json.
class ModemInhibitorSimulated : public ::testing::Test {
protected:
    void SetUp() override {
        folder = temporaryFolder();
        ASSERT_FALSE(folder.empty());
        setenv("KESTREL_SIM_ROOT", folder.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KESTREL_SIM_ROOT");
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
    void writeModems(bool inhibited) {
        std::ofstream(folder + "/modemmanager.json") << nlohmann::json{
            {"modems",
             {{{"device", "card-uid"},
               {"physdev", "/sys/devices/usb1/0001"},
               {"inhibited", inhibited}}}}}.dump();
    }
    bool inhibitedInFile() {
        std::ifstream file(folder + "/modemmanager.json");
        return nlohmann::json::parse(file)["modems"][0]["inhibited"].get<bool>();
    }
    std::string folder;
};

TEST_F(ModemInhibitorSimulated, HoldAndReleaseChangeTheModemsInhibition) {
    writeModems(false);
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold("USB\\VID_1234&PID_5678\\0001");
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail;
    EXPECT_TRUE(inhibitedInFile());
    EXPECT_EQ(inhibitor.release().result, ModemManagerResult::ok);
    EXPECT_FALSE(inhibitedInFile());
}

TEST_F(ModemInhibitorSimulated, InhibitedModemIsInProgressAndAMissingFileIsNoModemManager) {
    ModemInhibitor inhibitor;
    EXPECT_EQ(inhibitor.hold("USB\\VID_1234&PID_5678\\0001").result, ModemManagerResult::absent);
    writeModems(true);
    EXPECT_EQ(inhibitor.hold("USB\\VID_1234&PID_5678\\0001").result,
              ModemManagerResult::inProgress);
    EXPECT_TRUE(inhibitedInFile());
}

} // namespace
