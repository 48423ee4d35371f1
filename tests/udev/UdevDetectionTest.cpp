#include "TreeEvents.h"
#include "UdevTestbed.h"

#include "flasher/Ff.h"
#include "platform/linux/LinuxDeviceTree.h"
#include "sim/CardBus.h"
#include "sim/CardSimulator.h"
#include "tests/detection/NwLibraryTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

using detectiontest::notifications;
using udevtest::UdevTestbed;

// Logical milliseconds a test waits for a card (about a second at the tests' time scale).
constexpr uint64_t kCardWaitMs = 100000;
// How long a card that must not be found is given.
constexpr uint64_t kNoCardWaitMs = 30000;
// In the "mode switch" trees the ports of each plug get numbers of their own (umockdev cannot
// make a device node twice).
constexpr int kLoaderRenumber = 4;
constexpr int kReturnRenumber = 8;

std::string narrow(const char16_t* text) {
    std::string result;
    for (; *text; ++text)
        result += static_cast<char>(*text);
    return result;
}

// The detection library (NwInitialize, its notification window, the shipped card database)
// on the real Linux device tree over an emulated udev.
class UdevDetection : public detectiontest::NwSession {
protected:
    void SetUp() override {
        NwSession::SetUp();
        testbed.load("root-hub");
    }
    void TearDown() override {
        testbed.setPacing(nullptr);
        NwSession::TearDown();
        events.reset();
        linuxTree.reset();
    }

    // The tree as the library finds it at initialisation.
    void initialise() {
        linuxTree = std::make_shared<platform::LinuxDeviceTree>();
        ASSERT_TRUE(linuxTree->monitoring());
        platform::installDeviceTree(linuxTree);
        events = std::make_unique<udevtest::TreeEvents>(linuxTree);
        testbed.setPacing([this] { ASSERT_TRUE(events->waitBeyond(sent++)); });
        ASSERT_EQ(NwInitialize(nullptr), 0u);
        registerCallback();
    }

    NwCardInfo info() {
        NwCardInfo card{};
        card.size = sizeof card;
        lastResult = NwGetCardInfo(&card);
        return card;
    }
    bool started() {
        return pumpUntil([&] { return info().state == CardStateStarted; }, kCardWaitMs);
    }
    // The card's removal: a device-change notification after which there is no card.
    bool stoppedNotified() {
        return pumpUntil(
            [&] {
                for (const auto& note : notifications())
                    if (note.reason == NwReasonDeviceChange && note.result == NwErrorNoCard)
                        return true;
                return false;
            },
            kCardWaitMs);
    }
    bool startedAgain() {
        notifications().clear();
        return waitForNotification(CardStateStarted, NwReasonDeviceChange, kCardWaitMs);
    }

    UdevTestbed testbed;
    std::shared_ptr<platform::LinuxDeviceTree> linuxTree;
    std::unique_ptr<udevtest::TreeEvents> events;
    size_t sent = 0;
    uint32_t lastResult = 0;
};

TEST_F(UdevDetection, PluggedQt0880StartsWithThePortsTheRulesNameDespiteAnUnclaimedInterface) {
    initialise();
    testbed.plug("qt0880");
    ASSERT_TRUE(waitForNotification(CardStateStarted, NwReasonDeviceChange, kCardWaitMs))
        << log.dump();
    const NwCardInfo card = info();
    EXPECT_EQ(card.model, 0x1C00u);
    EXPECT_EQ(narrow(card.portName), "\\\\.\\ttyUSB2");
    EXPECT_EQ(narrow(card.dbgPortName), "\\\\.\\ttyUSB0");
    EXPECT_EQ(narrow(card.app2PortName), "\\\\.\\ttyUSB3");
    EXPECT_EQ(narrow(card.modemName), "Velmar QT0880 Modem (ttyUSB1)");
    EXPECT_EQ(narrow(card.wwanNicName), "Velmar QT0880 Network Adapter");
    EXPECT_EQ(narrow(card.netCfgInstanceId), "wwan0");
    EXPECT_EQ(narrow(card.deviceInstanceId), "USB\\VID_1234&PID_5678\\1-1");
    EXPECT_TRUE(log.has("Nw: This card has a modem device and has a WWAN NIC device"));
}

TEST_F(UdevDetection, CardPresentAtInitialisationStarts) {
    testbed.load("qt0880");
    initialise();
    ASSERT_TRUE(started()) << log.dump();
    EXPECT_EQ(narrow(info().portName), "\\\\.\\ttyUSB2");
}

TEST_F(UdevDetection, UnpluggingTheCardStopsIt) {
    testbed.load("qt0880");
    initialise();
    ASSERT_TRUE(started());
    notifications().clear();
    testbed.unplug("qt0880");
    ASSERT_TRUE(stoppedNotified()) << log.dump();
    EXPECT_TRUE(log.has("Nw: Card state changed to Stopped"));
    info();
    EXPECT_EQ(lastResult, static_cast<uint32_t>(NwErrorNoCard));
}

TEST_F(UdevDetection, ModeSwitchToTheLoaderStopsTheCardAndItsReturnStartsItAgain) {
    initialise();
    testbed.plug("qt0880");
    ASSERT_TRUE(startedAgain());
    notifications().clear();

    // The card leaves the bus and comes back on the same port as the loader.
    testbed.unplug("qt0880");
    testbed.plug("qt0880-loader", kLoaderRenumber);
    ASSERT_TRUE(stoppedNotified());
    pumpFor(kNoCardWaitMs);
    EXPECT_TRUE(log.mentions("USB\\VID_1234&PID_F000&REV_0100")) << log.dump();
    EXPECT_NE(info().state, static_cast<uint32_t>(CardStateStarted));

    testbed.unplug("qt0880-loader", kLoaderRenumber);
    testbed.plug("qt0880", kReturnRenumber);
    ASSERT_TRUE(startedAgain()) << log.dump();
    EXPECT_EQ(narrow(info().portName), "\\\\.\\ttyUSB10");
}

TEST_F(UdevDetection, D055VariantStartsWithoutASecondaryPort) {
    initialise();
    testbed.plug("qt0880-d055");
    ASSERT_TRUE(startedAgain()) << log.dump();
    const NwCardInfo card = info();
    EXPECT_EQ(card.model, 0x1C01u);
    EXPECT_EQ(narrow(card.portName), "\\\\.\\ttyUSB2");
    EXPECT_EQ(narrow(card.app2PortName), "");
    EXPECT_EQ(narrow(card.deviceInstanceId), "USB\\VID_1234&PID_D055\\1-1");
}

TEST_F(UdevDetection, NonMultiplexingCardUsesItsModemsPortAsTheApplicationPort) {
    initialise();
    testbed.plug("gt300");
    ASSERT_TRUE(startedAgain()) << log.dump();
    const NwCardInfo card = info();
    EXPECT_EQ(card.model, 0x0300u);
    EXPECT_EQ(narrow(card.portName), "\\\\.\\ttyACM0");
    EXPECT_EQ(narrow(card.modemName), "Velmar GT300 Modem (ttyACM0)");
}

TEST_F(UdevDetection, DeviceOfAnotherVendorIsCheckedAndIgnored) {
    initialise();
    testbed.plug("foreign");
    pumpFor(kNoCardWaitMs);
    EXPECT_TRUE(log.mentions("USB\\VID_046D&PID_C52B&REV_1211")) << log.dump();
    EXPECT_EQ(info().state, static_cast<uint32_t>(CardStateStopped));
    EXPECT_EQ(lastResult, static_cast<uint32_t>(NwErrorNoCard));
}

// A card whose ports are the emulated ttys of the tree already plugged: the simulator serves
// their masters.
class PluggedTreeBus : public cardsim::CardBus {
public:
    explicit PluggedTreeBus(UdevTestbed& testbed) : testbed_(testbed) {}
    bool arrive(int, int, cardsim::BusTerminal& application,
                cardsim::BusTerminal& diagnostic) override {
        application = {testbed_.terminal("/dev/ttyUSB2"), "ttyUSB2"};
        diagnostic = {testbed_.terminal("/dev/ttyUSB0"), "ttyUSB0"};
        return application.master >= 0 && diagnostic.master >= 0;
    }
    void leave(int, int) override {}

private:
    UdevTestbed& testbed_;
};

TEST_F(UdevDetection, FirmwareOfTheStartedCardIsReadThroughThePortsTheTreeNames) {
    initialise();
    testbed.plug("qt0880");
    ASSERT_TRUE(started()) << log.dump();
    const NwCardInfo card = info();
    const std::string app = narrow(card.portName);
    const std::string diag = narrow(card.dbgPortName);

    PluggedTreeBus bus(testbed);
    cardsim::SimulatorOptions options;
    options.bus = &bus;
    options.stateFile = folder + "/card.state.json";
    cardsim::CardSimulator simulator(options);
    std::string problem;
    ASSERT_TRUE(simulator.start(&problem)) << problem;

    ASSERT_EQ(FfInitialise(0, nullptr, 0), kFfOk);
    FfInfoRecord record{};
    int32_t notNormal = -1;
    const std::wstring wideApp(app.begin(), app.end());
    const std::wstring wideDiag(diag.begin(), diag.end());
    EXPECT_EQ(FfGetInfoDevice(L"QT0880", kFfInfoFirmware, wideDiag.c_str(), wideApp.c_str(),
                              &record, &notNormal),
              kFfOk);
    FfShutdown();
    EXPECT_EQ(notNormal, 0);
    EXPECT_STREQ(record.model, "QT0880");
    EXPECT_STREQ(record.version, simulator.stateSnapshot().revision.c_str());
    const auto commands = simulator.receivedCommands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "ATI"), commands.end());
}

// The time from the card's last udev event to the started card, at the real time scale.
class UdevDetectionTiming : public UdevDetection {
protected:
    double scale() const override { return 1.0; }
};

TEST_F(UdevDetectionTiming, CardStartsRightAfterItsLastAddEvent) {
    initialise();
    testbed.plug("qt0880");
    const auto lastAdd = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitForNotification(CardStateStarted, NwReasonDeviceChange, kCardWaitMs));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - lastAdd)
                        .count();
    std::printf("last add event to CardStateStarted: %lld ms\n", static_cast<long long>(ms));
    RecordProperty("lastAddToStartedMs", static_cast<int>(ms));
}

} // namespace
