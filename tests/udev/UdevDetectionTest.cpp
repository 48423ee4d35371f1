#include "tests/support/UdevTestbed.h"
#include "UeventSocket.h"

#include "flasher/Ff.h"
#include "platform/linux/LinuxDeviceTree.h"
#include "platform/linux/UdevSettledTree.h"
#include "sim/CardBus.h"
#include "sim/CardSimulator.h"
#include "tests/support/NwLibraryTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

using detectiontest::notifications;
using udevtest::Arrival;
using udevtest::UdevTestbed;
namespace ueventsocket = udevtest::ueventsocket;

// Logical milliseconds a test waits for a card (about a second at the tests' time scale).
constexpr uint64_t kCardWaitMs = 100000;
// How long a card that must not be found is given.
constexpr uint64_t kNoCardWaitMs = 30000;
// Beyond the detection timeout (300,000 ms) of a card that never completes.
constexpr uint64_t kDetectionTimeoutWaitMs = 400000;
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
        linuxTree.reset();
    }

    // The tree as the library finds it at initialisation.
    void initialise() {
        linuxTree = std::make_shared<platform::LinuxDeviceTree>();
        ASSERT_TRUE(linuxTree->monitoring());
        platform::installDeviceTree(linuxTree);
        // Each event waits until the tree's monitor has read the one before (umockdev drops
        // the test when more than a few wait unread).
        sent = ueventsocket::received();
        testbed.setPacing([this] { ASSERT_TRUE(ueventsocket::waitBeyond(sent++)); });
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

TEST_F(UdevDetection, CardStartsAgainWithNewPortsAtEachReEnumeration) {
    initialise();
    testbed.plug("qt0880");
    ASSERT_TRUE(startedAgain());

    // The mode switch: the card leaves the bus and comes back on the same USB port in loader
    // mode, with its own ids and new ttys (the kernel still holds the old numbers).
    notifications().clear();
    testbed.unplug("qt0880");
    ASSERT_TRUE(stoppedNotified());
    testbed.plug("qt0880", kLoaderRenumber);
    ASSERT_TRUE(startedAgain()) << log.dump();
    EXPECT_EQ(narrow(info().portName), "\\\\.\\ttyUSB6");
    EXPECT_EQ(narrow(info().dbgPortName), "\\\\.\\ttyUSB4");

    // The reset after programming.
    notifications().clear();
    testbed.unplug("qt0880", kLoaderRenumber);
    ASSERT_TRUE(stoppedNotified());
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

// A card in the kernel's order of events, however its interfaces come, starts.
struct OrderCase {
    const char* name;
    const char* tree;
    Arrival arrival;
    const char* applicationPort;
};

void PrintTo(const OrderCase& order, std::ostream* out) {
    *out << order.name;
}

std::vector<OrderCase> orders() {
    std::vector<OrderCase> cases = {{"massStorageLast", "qt0880", {}, "ttyUSB2"},
                                    {"networkLast", "qt0880", {}, "ttyUSB2"},
                                    {"networkFirst", "qt0880", {}, "ttyUSB2"},
                                    {"applicationPortBoundLate", "qt0880", {}, "ttyUSB2"},
                                    {"eventsLostMidway", "qt0880", {}, "ttyUSB2"},
                                    {"d055", "qt0880-d055", {}, "ttyUSB2"},
                                    {"gt300", "gt300", {}, "ttyACM0"}};
    cases[1].arrival.omitted = {"1-1:1.5"};
    cases[2].arrival.omitted = {"1-1:1.5"};
    cases[2].arrival.first = {"1-1:1.4"};
    cases[3].arrival.omitted = {"1-1:1.5"};
    cases[3].arrival.boundLate = {"1-1:1.2"};
    cases[3].arrival.lateByMs = 1000;
    // The overrun loses the application port's tty.
    cases[4].arrival.beforeEvent = [](size_t event) {
        if (event == 8)
            ueventsocket::overrunNext();
    };
    return cases;
}

class UdevDetectionOrder : public UdevDetection, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(UdevDetectionOrder, CardPluggedInTheKernelsOrderStarts) {
    const OrderCase& order = GetParam();
    initialise();
    testbed.plug(order.tree, 0, order.arrival);
    ASSERT_TRUE(startedAgain()) << log.dump();
    EXPECT_EQ(narrow(info().portName), std::string("\\\\.\\") + order.applicationPort);
}

INSTANTIATE_TEST_SUITE_P(UdevDetection, UdevDetectionOrder, ::testing::ValuesIn(orders()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UdevDetection, CardWithAFunctionThatNeverBindsStaysStartingUntilTheDetectionTimeout) {
    initialise();
    Arrival arrival;
    // The network adapter's driver.
    arrival.neverBound = {"1-1:1.4"};
    testbed.plug("qt0880", 0, arrival);
    // Shown once the settle bound has passed.
    ASSERT_TRUE(
        waitForNotification(CardStateStarting, NwReasonDeviceChange, kDetectionTimeoutWaitMs))
        << log.dump();
    ASSERT_TRUE(pumpUntil([&] { return log.has("Nw: Detection timed out, cancelling..."); },
                          kDetectionTimeoutWaitMs))
        << log.dump();
    EXPECT_FALSE(notified(CardStateStarted, NwReasonDeviceChange));
    EXPECT_EQ(info().state, static_cast<uint32_t>(CardStateStopped));
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

TEST_F(UdevDetectionTiming, CardStartsRightAfterItsLastKernelEvent) {
    initialise();
    // The time each event is sent; the last is the USB device's bind.
    std::chrono::steady_clock::time_point lastEvent;
    Arrival arrival;
    arrival.beforeEvent = [&](size_t) { lastEvent = std::chrono::steady_clock::now(); };
    testbed.plug("qt0880", 0, arrival);
    ASSERT_TRUE(waitForNotification(CardStateStarted, NwReasonDeviceChange, kCardWaitMs));
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - lastEvent)
                        .count();
    std::printf("last kernel event to CardStateStarted: %.3f ms\n", us / 1000.0);
    RecordProperty("lastEventToStartedUs", static_cast<int>(us));
    // Nothing waits for the settle bound when every function binds.
    EXPECT_LT(us / 1000, static_cast<long long>(platform::UdevSettledTree::kSettleBoundMs));
}

} // namespace
