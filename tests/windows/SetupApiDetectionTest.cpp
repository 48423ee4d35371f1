#include "FakeSetupApi.h"

#include "tests/support/NwLibraryTestSupport.h"

#include "detection/WideText.h"
#include "platform/DeviceTreeFile.h"
#include "platform/windows/SetupApiDeviceTree.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

// The detection library above the real SetupAPI device tree, on a device tree that Windows
// would show through SetupAPI and the configuration manager (served by FakeSetupApi, since
// wine's configuration manager cannot), with the library's own window receiving the
// WM_DEVICECHANGE broadcasts through the tree's hidden window.
namespace {

using namespace detectiontest;

// The library's detection timeout (logical milliseconds); a card that starts does so before it.
constexpr uint64_t kDetectionTimeoutMs = 300000;
constexpr uint64_t kStartWaitMs = kDetectionTimeoutMs;
// Long enough for the library to react to a stage and settle, short of its detection timeout.
constexpr uint64_t kStagePauseMs = 20000;
// Wine creates a process's first window and its desktop in seconds, not milliseconds: the time
// scale keeps the library's own waits beyond that.
constexpr double kTimeScale = 0.05;
constexpr const char* kCardGroup = "card";
constexpr uint64_t kInBoxMobileBroadbandDriver = 0x0005000100000000ull; // 5.1.0.0

std::string deviceFile(const std::string& name) {
    std::ifstream file(std::string(KESTREL_TEST_DEVICE_TREES) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

platform::DeviceGroup deviceGroup(const std::string& name) {
    platform::DeviceGroup group;
    std::string problem;
    EXPECT_TRUE(platform::parseDeviceFile(deviceFile(name), group, problem)) << name << problem;
    return group;
}

// The group's first `count` nodes: the functions a card's drivers have started so far.
platform::DeviceGroup firstNodes(platform::DeviceGroup group, size_t count) {
    group.nodes.resize(std::min(count, group.nodes.size()));
    return group;
}

platform::DeviceNodeDescription& nodeOf(platform::DeviceGroup& group, const std::string& id) {
    for (auto& node : group.nodes)
        if (node.id == id)
            return node;
    ADD_FAILURE() << "no node " << id;
    return group.nodes.front();
}

std::string text(const char16_t* field) {
    return detection::utf8FromUtf16(detection::textOf(field, NW_TEXT_LENGTH));
}

class SetupApiDetection : public NwSession {
protected:
    double scale() const override { return kTimeScale; }
    void SetUp() override {
        NwSession::SetUp();
        systemTree_ = std::make_shared<platform::SetupApiDeviceTree>();
        platform::installDeviceTree(systemTree_);
    }
    void TearDown() override {
        NwSession::TearDown();
        systemTree_.reset();
        // Every device information set and key the backend opened has been given back.
        EXPECT_EQ(fake.openSets(), 0u);
        EXPECT_EQ(fake.openKeys(), 0u);
    }

    uint32_t start() {
        databaseText() = std::string(detection::shippedCardDatabase());
        module().text = databaseText();
        const uint32_t result = NwInitialize(&module());
        if (result == 0)
            registerCallback();
        return result;
    }
    void plug(const platform::DeviceGroup& group) {
        std::string problem;
        ASSERT_TRUE(fake.plug(kCardGroup, group, problem)) << problem;
    }
    bool waitUntilStarted() {
        return waitForNotification(CardStateStarted, NwReasonDeviceChange, kStartWaitMs);
    }
    NwCardInfo cardInfo() {
        NwCardInfo info{};
        info.size = sizeof info;
        EXPECT_EQ(NwGetCardInfo(&info), 0u);
        return info;
    }

    FakeSetupApi fake; // before the tree, which it outlives
    std::shared_ptr<platform::SetupApiDeviceTree> systemTree_;
};

TEST_F(SetupApiDetection, Qt0880CompositeReachesStartedWithItsComPortsAdapterAndDriver) {
    ASSERT_EQ(start(), 0u) << log.dump();
    plug(deviceGroup("qt0880.json"));
    ASSERT_TRUE(waitUntilStarted()) << log.dump();

    const NwCardInfo info = cardInfo();
    EXPECT_EQ(info.state, static_cast<uint32_t>(CardStateStarted));
    EXPECT_EQ(info.model, 0x1C00u);
    EXPECT_EQ(text(info.portName), "\\\\.\\COM3");
    EXPECT_EQ(text(info.dbgPortName), "\\\\.\\COM4");
    EXPECT_EQ(text(info.modemName), "Velmar QT0880 Modem");
    EXPECT_EQ(text(info.wwanNicName), "Velmar QT0880 Network Adapter");
    EXPECT_EQ(text(info.wwanNdisPortName), "\\\\.\\LMNDIS0");
    EXPECT_EQ(text(info.netCfgInstanceId), "{5A1C0880-0001-4E2D-9A51-7E1A00000880}");
    EXPECT_EQ(text(info.deviceInstanceId), "USB\\VID_1234&PID_5678\\0001");
    EXPECT_EQ(info.devNode, fake.node(kCardGroup, "card"));
    EXPECT_EQ(info.driverVersionMs, 0x00030002u);
    EXPECT_EQ(info.driverVersionLs, 0x00010000u);
    // The interfaces reached the library as Windows delivers them.
    EXPECT_TRUE(log.mentions("Nw: DBT_DEVICEARRIVAL with device type 5")) << log.dump();
    EXPECT_TRUE(
        log.mentions("Nw: Device interface \\\\?\\LMUHSBUS#VID_1234&PID_5678_APP#7&2f1c&0&app#"
                     "{86e0d1e0-8089-11d0-9ce4-08003e301f73} arrived"));
}

TEST_F(SetupApiDetection, FunctionsStartingOneAfterAnotherCompleteOnceTheAdapterArrives) {
    ASSERT_EQ(start(), 0u) << log.dump();
    const platform::DeviceGroup card = deviceGroup("qt0880.json");
    // The composite device and its function node, then the modem, then the two ports; the
    // network adapter comes last, as the drivers start.
    for (const size_t nodes : {2u, 3u, 5u}) {
        plug(firstNodes(card, nodes));
        pumpFor(kStagePauseMs);
        EXPECT_FALSE(notified(CardStateStarted, NwReasonDeviceChange))
            << "started with " << nodes << " nodes\n"
            << log.dump();
    }
    EXPECT_EQ(cardInfo().state, static_cast<uint32_t>(CardStateStarting));
    plug(card);
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    const NwCardInfo info = cardInfo();
    EXPECT_EQ(text(info.portName), "\\\\.\\COM3");
    EXPECT_EQ(text(info.netCfgInstanceId), "{5A1C0880-0001-4E2D-9A51-7E1A00000880}");
}

// A function whose driver failed to start (code 10) keeps the card from being reported as
// started; once its driver is installed anew the card re-enumerates and starts.
TEST_F(SetupApiDetection, PortWithAProblemNumberKeepsTheCardFromStartingUntilItReenumerates) {
    constexpr uint32_t kProblemFailedStart = 10; // CM_PROB_FAILED_START
    ASSERT_EQ(start(), 0u) << log.dump();
    platform::DeviceGroup card = deviceGroup("qt0880.json");
    auto& app = nodeOf(card, "app");
    app.status = platform::kNodeDriverLoaded | platform::kNodeHasProblem;
    app.problem = kProblemFailedStart;
    plug(card);
    pumpFor(kStagePauseMs);
    EXPECT_FALSE(notified(CardStateStarted, NwReasonDeviceChange)) << log.dump();
    EXPECT_TRUE(log.mentions("problem# is 10 (inactive)")) << log.dump();

    fake.unplug(kCardGroup);
    pumpFor(kStagePauseMs);
    plug(deviceGroup("qt0880.json"));
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_EQ(text(cardInfo().portName), "\\\\.\\COM3");
}

TEST_F(SetupApiDetection, ModeSwitchRemovalAndReturnWithNewComNumbersGivesTheNewPorts) {
    ASSERT_EQ(start(), 0u) << log.dump();
    plug(deviceGroup("qt0880.json"));
    ASSERT_TRUE(waitUntilStarted()) << log.dump();

    // The card leaves the bus for its mode change and comes back with ports Windows numbers
    // anew, beyond COM9 (which only the "\\.\" form opens).
    fake.unplug(kCardGroup);
    ASSERT_TRUE(pumpUntil([] {
        for (const auto& note : notifications())
            if (note.result == NwErrorNoCard && note.state == CardStateStopped)
                return true;
        return false;
    })) << log.dump();
    notifications().clear();
    plug(deviceGroup("qt0880-renumbered.json"));
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    const NwCardInfo info = cardInfo();
    EXPECT_EQ(text(info.portName), "\\\\.\\COM12");
    EXPECT_EQ(text(info.dbgPortName), "\\\\.\\COM13");
}

TEST_F(SetupApiDetection, D055AndGt300AreDetectedWithTheirOwnRecords) {
    ASSERT_EQ(start(), 0u) << log.dump();
    plug(deviceGroup("qt0880-d055.json"));
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    NwCardInfo info = cardInfo();
    EXPECT_EQ(info.model, 0x1C01u);
    EXPECT_EQ(text(info.portName), "\\\\.\\COM5");
    EXPECT_EQ(text(info.deviceInstanceId), "USB\\VID_1234&PID_D055\\0001");

    fake.unplug(kCardGroup);
    pumpFor(kStagePauseMs);
    notifications().clear();
    plug(deviceGroup("gt300.json"));
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    info = cardInfo();
    EXPECT_EQ(info.model, 0x0300u);
    EXPECT_EQ(text(info.portName), "\\\\.\\COM7");
    EXPECT_EQ(text(info.modemName), "Velmar GT300 Modem");
    EXPECT_EQ(info.driverVersionMs, 0x00010004u);
    EXPECT_EQ(info.driverVersionLs, 0x00000002u);
}

// The store also holds Windows' in-box mobile-broadband driver (5.1), ranked before the maker's
// in a full compatible list; taken as the card's driver it would make the library wait for a
// mobile-broadband interface that never comes.
TEST_F(SetupApiDetection, DriverVersionIsTheInstalledDriversNotTheBestRankedOfTheStore) {
    ASSERT_EQ(start(), 0u) << log.dump();
    platform::DeviceGroup card = deviceGroup("qt0880.json");
    fake.setStoreDrivers(nodeOf(card, "nic").instanceId, {kInBoxMobileBroadbandDriver});
    plug(card);
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_EQ(cardInfo().driverVersionMs, 0x00030002u);
    EXPECT_TRUE(log.has("Nw: Driver version: 3.2.1.0")) << log.dump();
}

TEST_F(SetupApiDetection, PortNameWrittenAsEightBitTextReadsAsItsComPort) {
    ASSERT_EQ(start(), 0u) << log.dump();
    platform::DeviceGroup card = deviceGroup("qt0880.json");
    fake.setRawHardwareValue(nodeOf(card, "app").instanceId, "PortName", REG_SZ,
                             std::string("COM12", 6));
    // Without its terminator and of odd length, too.
    fake.setRawHardwareValue(nodeOf(card, "diag").instanceId, "PortName", REG_SZ, "COM131");
    plug(card);
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_EQ(text(cardInfo().portName), "\\\\.\\COM12");
    EXPECT_EQ(text(cardInfo().dbgPortName), "\\\\.\\COM131");
}

TEST_F(SetupApiDetection, RefusedDeviceNotificationRegistrationFailsTheInitialisation) {
    fake.failRegistrations(ERROR_ACCESS_DENIED);
    EXPECT_EQ(start(), 0x80004005u);
    EXPECT_TRUE(log.has("Nw: InitializeNotificationWindow(): RegisterDeviceNotification for COM "
                        "ports failed with 0x80004005."))
        << log.dump();
    EXPECT_EQ(fake.registeredWindows(), 0u);
    NwTerminate();

    // Once the system accepts it again, a new initialisation succeeds and hears the card.
    fake.failRegistrations(0);
    ASSERT_EQ(start(), 0u) << log.dump();
    EXPECT_EQ(fake.registeredWindows(), 1u);
    plug(deviceGroup("gt300.json"));
    EXPECT_TRUE(waitUntilStarted()) << log.dump();
}

} // namespace
