#include "app/AppDeviceTrait.h"
#include "app/ErrorCodes.h"
#include "app/StateMachine.h"
#include "app/UpdateInfo.h"
#include "detection/Nw.h"
#include "platform/Clock.h"
#include "tests/support/ScopedTimeScale.h"

#include "tests/support/LogCapture.h"
#include "tests/support/RecordingTraits.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

void copyText(char16_t* target, const std::u16string& text) {
    std::memcpy(target, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

NwCardInfo startedCard(const std::u16string& instanceId) {
    NwCardInfo card;
    std::memset(&card, 0, sizeof card);
    card.size = sizeof card;
    card.state = CardStateStarted;
    card.model = 880;
    card.family = 5;
    card.stackType = 2;
    card.driverVersionMs = 0x00020001;
    card.driverVersionLs = 0x00000007;
    copyText(card.portName, u"pts/7");
    copyText(card.dbgPortName, u"pts/8");
    copyText(card.deviceInstanceId, instanceId);
    return card;
}

TEST(AppDeviceTraitCard, IdentityPortsAndIdsComeFromTheCardInformation) {
    UpdateInfo info;
    AppDeviceTrait::fillUpdateInfo(
        startedCard(u"USB\\X_1&VID_ABCD&Y_2\\PID_D055&MI_02\\6&1234&0&0002"), info);
    EXPECT_EQ(info.vendorId, 0xABCD);
    EXPECT_EQ(info.productId, 0xD055);
    EXPECT_EQ(info.appPort, L"pts/7");
    EXPECT_EQ(info.diagPort, L"pts/8");
    EXPECT_EQ(info.model, 880);
    EXPECT_EQ(info.family, 5);
    EXPECT_EQ(info.stackType, 2);
    EXPECT_EQ(info.driverVersionHigh, 0x00020001u);
    EXPECT_EQ(info.driverVersionLow, 7u);
    const UpdateInfo::Ports ports = info.ports();
    EXPECT_EQ(ports.app, L"pts/7");
    EXPECT_EQ(ports.model, 880);
}

TEST(AppDeviceTraitCard, TokensThatMerelyContainTheIdsOrAreTruncatedAreNotRead) {
    UpdateInfo info;
    info.vendorId = 1;
    info.productId = 2;
    // Tokens must start with the id; an unterminated field stays inside its array.
    NwCardInfo card = startedCard(u"USB\\XVID_1111&PID_");
    AppDeviceTrait::fillUpdateInfo(card, info);
    EXPECT_EQ(info.vendorId, 1);
    EXPECT_EQ(info.productId, 2);
    for (auto& unit : card.deviceInstanceId)
        unit = u'A';
    AppDeviceTrait::fillUpdateInfo(card, info);
    EXPECT_EQ(info.vendorId, 1);
}

// The device trait without its background check, which would outlive the test's machine. The
// start of a check still forgets the arrivals reported so far, as the real one does.
struct TraitWithoutBackgroundCheck : AppDeviceTrait {
    using AppDeviceTrait::AppDeviceTrait;
    int checkDevice(bool asynchronous) override {
        if (!asynchronous)
            return AppDeviceTrait::checkDevice(false);
        forgetEarlierArrivals();
        return 0;
    }
};

// The device trait on a simulated machine with no card, in a machine with recording traits.
class AppDeviceTraitTest : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{0.01};
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-device-trait-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root / "devices");
        setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
        machine.windowTrait = &windows;
        machine.updateTrait = &update;
        machine.deviceTrait = &trait;
    }
    void TearDown() override {
        unsetenv("KESTREL_SIM_ROOT");
        std::error_code error;
        fs::remove_all(root, error);
    }
    void writeServices(const std::string& text) { std::ofstream(root / "services.json") << text; }
    std::string services() {
        std::ifstream in(root / "services.json");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path root;
    Journal journal;
    RecordingWindowTrait windows{journal};
    RecordingUpdateTrait update{journal};
    StateMachine machine;
    TraitWithoutBackgroundCheck trait{machine};
};

TEST_F(AppDeviceTraitTest, StartUpWithoutCardStopsTheServiceAndEndsInNoCard) {
    writeServices(R"({"CmxService": "running"})");
    LogCapture log("kestrel.app.traits.device");
    machine.init();
    EXPECT_TRUE(machine.isIn(StateMachine::kNoCard));
    EXPECT_NE(services().find("stopped"), std::string::npos);
    EXPECT_TRUE(log.contains("AppDeviceTrait::initialise(): Stopping of CmxService suceeded = 1"));
    machine.dispatch(sigCancel);
    EXPECT_TRUE(machine.isIn(StateMachine::kTerminate));
    EXPECT_NE(services().find("running"), std::string::npos);
    EXPECT_TRUE(log.contains("AppDeviceTrait::terminate(): Starting of CmxService suceeded = 1"));
}

TEST_F(AppDeviceTraitTest, ServiceNotInstalledDisabledOrStoppedLetsStartUpGoOn) {
    LogCapture log("kestrel.app.traits.device");
    const struct {
        const char* services;
        const char* startLog;
        const char* failureLog;
    } cases[] = {
        {"{}", "AppDeviceTrait::terminate(): Starting of CmxService suceeded = 0",
         "AppDeviceTrait::terminate(): Starting of CmxService failed: 1060"},
        {R"({"CmxService": "disabled"})",
         "AppDeviceTrait::terminate(): Starting of CmxService suceeded = 0",
         "AppDeviceTrait::terminate(): Starting of CmxService failed: 1058"},
        {R"({"CmxService": "stopped"})",
         "AppDeviceTrait::terminate(): Starting of CmxService suceeded = 1", nullptr},
    };
    for (const auto& each : cases) {
        writeServices(each.services);
        log.clear();
        StateMachine local;
        TraitWithoutBackgroundCheck own(local);
        local.windowTrait = &windows;
        local.updateTrait = &update;
        local.deviceTrait = &own;
        local.init();
        EXPECT_TRUE(local.isIn(StateMachine::kNoCard)) << each.services;
        bool logged = false;
        for (const auto& message : log.messages())
            logged = logged || message.rfind("AppDeviceTrait::initialise(): Stopping of "
                                             "CmxServicefailed because service was not started "
                                             "at all: ",
                                             0) == 0;
        EXPECT_TRUE(logged) << each.services;
        local.dispatch(sigCancel);
        EXPECT_TRUE(log.contains(each.startLog)) << each.services;
        if (each.failureLog != nullptr) {
            EXPECT_TRUE(log.contains(each.failureLog)) << each.services;
        }
    }
}

TEST_F(AppDeviceTraitTest, ServiceThatCannotBeStoppedFailsStartUpWith262) {
    writeServices("{broken");
    machine.init();
    EXPECT_TRUE(machine.isIn(StateMachine::kInitFailure));
    EXPECT_EQ(machine.errorCode, Kestrel::kResultServiceStopFailed);
    EXPECT_EQ(trait.lastServiceError(), 13u);
    EXPECT_EQ(services(), "{broken");
}

TEST_F(AppDeviceTraitTest, ArrivalAndDepartureReportsDriveTheWorkflowAndTheWaits) {
    machine.init();
    ASSERT_TRUE(machine.isIn(StateMachine::kNoCard));
    trait.onCardReport(0, startedCard(u"USB\\VID_1234&PID_5678\\0001"));
    EXPECT_FALSE(machine.isIn(StateMachine::kNoCard)) << "sigArrival was dispatched";
    EXPECT_EQ(update.updateInfo->productId, 0x5678);

    // A card in another state, or any other result, changes nothing.
    NwCardInfo starting = startedCard(u"USB\\VID_1111&PID_2222");
    starting.state = CardStateStarting;
    trait.onCardReport(0, starting);
    trait.onCardReport(21, startedCard(u"USB\\VID_1111&PID_2222"));
    EXPECT_EQ(update.updateInfo->productId, 0x5678);

    trait.onCardReport(55, NwCardInfo{});
    EXPECT_TRUE(machine.isIn(StateMachine::kNoCard));
    machine.dispatch(sigCancel);
}

TEST_F(AppDeviceTraitTest, ArrivalBeforeTheWaitIsKeptForItButADepartureMakesItStale) {
    machine.init();
    // The first arrival starts the check, which reads the card as it is: no news for a wait.
    trait.onCardReport(0, startedCard(u"USB\\VID_1234&PID_5678"));
    ASSERT_TRUE(machine.isIn(StateMachine::kCheckDevice));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(trait.waitForArrival(), Kestrel::kResultArrivalTimeout) << "the check's arrival";
    EXPECT_GE(std::chrono::steady_clock::now() - start, platform::realDuration(60000));

    // A repeated report while the user decides is no news for the update's first wait.
    machine.dispatch(sigDone);
    ASSERT_TRUE(machine.isIn(StateMachine::kPromptUser));
    trait.onCardReport(0, startedCard(u"USB\\VID_1234&PID_5678"));
    EXPECT_EQ(trait.waitForArrival(), Kestrel::kResultArrivalTimeout) << "before the update";

    // During the update an arrival that comes before the wait is kept for it, once.
    machine.dispatch(sigUpdate);
    ASSERT_TRUE(machine.isIn(StateMachine::kUpdate));
    trait.onCardReport(0, startedCard(u"USB\\VID_1234&PID_5678"));
    EXPECT_EQ(trait.waitForArrival(), 0) << "the early arrival is kept";
    EXPECT_EQ(trait.waitForArrival(), Kestrel::kResultArrivalTimeout) << "and used only once";

    trait.onCardReport(0, startedCard(u"USB\\VID_1234&PID_5678"));
    trait.onCardReport(55, NwCardInfo{});
    EXPECT_EQ(trait.waitForArrival(), Kestrel::kResultArrivalTimeout) << "stale after departure";
    EXPECT_EQ(trait.waitForDeparture(), 0);
    EXPECT_EQ(trait.waitForDeparture(), Kestrel::kResultDepartureTimeout);
    machine.dispatch(sigCancel);
}

TEST_F(AppDeviceTraitTest, WaitingThreadIsWokenByTheArrivalAfterTheWorkflowReacted) {
    machine.init();
    // An update whose card resets: the workflow waits in waitForDevice for its return.
    trait.onCardReport(0, startedCard(u"USB\\VID_1234&PID_5678"));
    machine.dispatch(sigDone);
    machine.dispatch(sigUpdate);
    machine.dispatch(sigReset);
    ASSERT_TRUE(machine.isIn(StateMachine::kWaitForDevice));
    auto waiter = std::async(std::launch::async, [this] {
        const int result = trait.waitForArrival();
        return std::make_pair(result, machine.isIn(StateMachine::kWaitForDevice));
    });
    // Nothing but the report can end the wait early.
    EXPECT_EQ(waiter.wait_for(platform::realDuration(5000)), std::future_status::timeout);
    trait.onCardReport(0, startedCard(u"USB\\VID_1234&PID_5678"));
    const auto [result, stillWaitingForDevice] = waiter.get();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(stillWaitingForDevice) << "the signal was dispatched before the broadcast";
    EXPECT_TRUE(machine.isIn(StateMachine::kUpdate));
    machine.dispatch(sigDone);
    machine.dispatch(sigCancel);
}

TEST_F(AppDeviceTraitTest, TerminateWakesAWaiterWhichThenFails) {
    machine.init();
    // The registration's report of "no card" is the departure kept from start-up.
    EXPECT_EQ(trait.waitForDeparture(), 0);
    auto waiter = std::async(std::launch::async, [this] { return trait.waitForDeparture(); });
    EXPECT_EQ(waiter.wait_for(platform::realDuration(2000)), std::future_status::timeout);
    machine.dispatch(sigCancel);
    EXPECT_EQ(waiter.get(), Kestrel::kResultDepartureTimeout);
    EXPECT_EQ(trait.waitForArrival(), Kestrel::kResultArrivalTimeout);
}

TEST_F(AppDeviceTraitTest, DetectionMessagesLoseTheirPrefixAndFlashingMessagesKeepTheirLevel) {
    LogCapture detection("kestrel.nexwatch.log");
    AppDeviceTrait::detectionLogSink(L"Nw: Card state changed to Started", nullptr);
    AppDeviceTrait::detectionLogSink(L"XLog: Suspicious state.", nullptr);
    AppDeviceTrait::detectionLogSink(L"Nw:no blank", nullptr);
    const std::vector<std::string> expected = {"Card state changed to Started",
                                               "XLog: Suspicious state.", "Nw:no blank"};
    EXPECT_EQ(detection.messages(), expected);

    LogCapture engine("engine");
    AppDeviceTrait::flashingLogSink(L"FfInitialise");
    EXPECT_TRUE(engine.contains("FfInitialise"));
    EXPECT_EQ(AppDeviceTrait::flashingLogLevel(), 4);
    // Logging switched off at start-up does not silence the library once it is switched on.
    log4cplus::Logger::getDefaultHierarchy().disableAll();
    EXPECT_EQ(AppDeviceTrait::flashingLogLevel(), 4);
    log4cplus::Logger::getDefaultHierarchy().enableAll();
    log4cplus::Logger::getInstance("engine").setLogLevel(log4cplus::INFO_LOG_LEVEL);
    EXPECT_EQ(AppDeviceTrait::flashingLogLevel(), 3);
    log4cplus::Logger::getInstance("engine").setLogLevel(log4cplus::WARN_LOG_LEVEL);
    EXPECT_EQ(AppDeviceTrait::flashingLogLevel(), 2);
    log4cplus::Logger::getInstance("engine").setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    EXPECT_EQ(AppDeviceTrait::flashingLogLevel(), 1);
    log4cplus::Logger::getInstance("engine").setLogLevel(log4cplus::OFF_LOG_LEVEL);
    EXPECT_EQ(AppDeviceTrait::flashingLogLevel(), 0);
    AppDeviceTrait::flashingLogSink(L"not written");
    EXPECT_FALSE(engine.contains("not written"));
    log4cplus::Logger::getInstance("engine").setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
}

} // namespace
