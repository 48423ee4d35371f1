#include "UdevTestbed.h"

#include "platform/Clock.h"
#include "platform/ModemInhibitor.h"
#include "tests/platform/SystemBusMocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::ModemInhibitor;
using platform::ModemManagerResult;
using udevtest::UdevTestbed;

constexpr const char* kCardInstance = "USB\\VID_1234&PID_5678\\1-1";
constexpr const char* kCardPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char* kCardStanza = "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n";
// Scale at which the minute a probing card is asked for takes three seconds.
constexpr double kQuickScale = 0.05;
// How long the mock waits after a card's last tty before probing it (seconds), and how long a
// held-back card is watched for a probe that must not come: several of those waits.
constexpr double kProbeDelaySeconds = 0.2;
constexpr auto kNoProbeWatch = std::chrono::milliseconds(1000);
// A card's ttys after a re-enumeration: the kernel gives new numbers.
constexpr int kReturnRenumber = 10;

// The inhibitor against the ModemManager mock on a private system bus, with the card in an
// emulated udev: what ModemManager 1.20 tells of a modem (its Device, its Ports) is matched
// against what udev tells of the card.
class UdevModemManager : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-udev-mm-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        bus = std::make_unique<bustest::SystemBus>(folder);
        testbed.load("root-hub");
    }
    void TearDown() override {
        bus.reset();
        platform::overrideTimeScale(1.0);
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }

    // The card, its USB device with these extra udev properties ("E: NAME=value" lines).
    void loadCard(const std::string& properties = "") {
        std::string text = UdevTestbed::treeText("qt0880");
        const size_t stanza = text.find(kCardStanza);
        ASSERT_NE(stanza, std::string::npos);
        text.insert(stanza + std::string(kCardStanza).size(), properties);
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed.get(), text.c_str(), &error))
            << (error ? error->message : "");
    }

    nlohmann::json calls() { return bus->modemManagerState()["calls"]; }
    nlohmann::json inhibited() { return bus->modemManagerState()["inhibited"]; }

    // The mock follows udev: each event sent waits until it has read it (umockdev ends the
    // test when a listener's short queue is full).
    void paceByTheMock() {
        testbed.setPacing([this] {
            const int sent = ++eventsSent;
            ASSERT_TRUE(bus->waitForState([sent](const nlohmann::json& state) {
                return state.value("events", 0) >= sent;
            })) << "the mock did not read event "
                << sent;
        });
    }
    static bool hasAll(const nlohmann::json& list, const std::vector<std::string>& names) {
        if (!list.is_array())
            return false;
        for (const auto& name : names)
            if (std::find(list.begin(), list.end(), name) == list.end())
                return false;
        return true;
    }
    static bool hasAny(const nlohmann::json& list, const std::vector<std::string>& names) {
        for (const auto& name : names)
            if (list.is_array() && std::find(list.begin(), list.end(), name) != list.end())
                return true;
        return false;
    }
    // The card's ttys (ttyUSB0...) with `renumber` added to their numbers.
    static std::vector<std::string> cardTtys(int renumber) {
        std::vector<std::string> ttys;
        for (const auto& path : UdevTestbed::devicesOf("qt0880", renumber))
            if (path.find("/tty/") != std::string::npos)
                ttys.push_back(path.substr(path.rfind('/') + 1));
        return ttys;
    }

    UdevTestbed testbed;
    std::string folder;
    std::unique_ptr<bustest::SystemBus> bus;
    int eventsSent = 0;
};

TEST_F(UdevModemManager, CardStillProbedIsAskedForByItsUidUntilItsModemIsExported) {
    loadCard();
    // Known at once, exported after a second: InhibitDevice answers WrongState meanwhile.
    ASSERT_TRUE(bus->startModemManager(
        {{"version", "1.20.4"}, {"uid", kCardPath}, {"known_after", 0}, {"appear_after", 1.0}}));
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail;
    EXPECT_TRUE(inhibited().contains(kCardPath));
    // Asked by the uid the modem was to have, before it was listed.
    EXPECT_GT(calls().size(), 1u);
    for (const auto& call : calls())
        EXPECT_EQ(call[0], kCardPath);
}

TEST_F(UdevModemManager, CardProbedBeyondTheBoundIsRefusedAsProbing) {
    platform::overrideTimeScale(kQuickScale);
    loadCard();
    ASSERT_TRUE(bus->startModemManager(
        {{"version", "1.20.4"}, {"uid", kCardPath}, {"known_after", 0}, {"appear_after", 600}}));
    ModemInhibitor inhibitor;
    const uint64_t start = platform::tickMs();
    const auto held = inhibitor.hold(kCardInstance);
    EXPECT_EQ(held.result, ModemManagerResult::probing);
    EXPECT_NE(held.detail.find("Modem not exported in the bus"), std::string::npos) << held.detail;
    EXPECT_GE(platform::tickMs() - start, ModemInhibitor::kProbingTimeoutMs);
    EXPECT_FALSE(inhibitor.holding());
}

TEST_F(UdevModemManager, PhysdevUidTheRulesGiveTheCardIsItsModemsDevice) {
    loadCard("E: ID_MM_PHYSDEV_UID=card-uid\n");
    ASSERT_TRUE(bus->startModemManager({{"version", "1.20.4"}, {"uid", "card-uid"}}));
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail;
    EXPECT_TRUE(inhibited().contains("card-uid"));
}

TEST_F(UdevModemManager, ModemWhosePortsAreTheCardsTtysIsTheCards) {
    loadCard();
    ASSERT_TRUE(bus->startModemManager(
        {{"version", "1.20.4"}, {"uid", "/virtual/elsewhere"}, {"ports", {"ttyUSB2", "ttyUSB1"}}}));
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail;
    EXPECT_EQ(held.modem.uid, "/virtual/elsewhere");
}

TEST_F(UdevModemManager, InhibitionHoldsTheCardBackAcrossItsReEnumerationUntilRelease) {
    const auto ttys = cardTtys(0);
    const auto returned = cardTtys(kReturnRenumber);
    ASSERT_FALSE(ttys.empty());
    // ModemManager 1.20 follows the card in udev: its ttys are probed and make its modem.
    ASSERT_TRUE(bus->startModemManager({{"version", "1.20.4"},
                                        {"uid", kCardPath},
                                        {"udev", true},
                                        {"probe_delay", kProbeDelaySeconds}}));
    paceByTheMock();
    testbed.plug("qt0880");
    ASSERT_TRUE(bus->waitForState([&](const nlohmann::json& state) {
        return hasAll(state["modem"], ttys) && hasAll(state["probed"], ttys);
    })) << bus->modemManagerState().dump();

    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail;
    EXPECT_EQ(held.modem.uid, kCardPath);
    // The inhibited card has no modem on the bus.
    EXPECT_TRUE(
        bus->waitForState([](const nlohmann::json& state) { return state["modem"].is_null(); }));

    // The card leaves and comes back with new ttys (a mode switch, a reset): they are held
    // back, neither opened nor made a modem, while Kestrel holds the card.
    testbed.unplug("qt0880");
    testbed.plug("qt0880", kReturnRenumber);
    ASSERT_TRUE(bus->waitForState([&](const nlohmann::json& state) {
        return hasAll(state["held"], returned);
    })) << bus->modemManagerState().dump();
    std::this_thread::sleep_for(kNoProbeWatch);
    auto state = bus->modemManagerState();
    EXPECT_TRUE(state["modem"].is_null()) << state.dump();
    EXPECT_FALSE(hasAny(state["probed"], returned)) << state.dump();
    EXPECT_TRUE(state["inhibited"].contains(kCardPath)) << state.dump();
    EXPECT_TRUE(inhibitor.holding());
    // The card's check at its return changes nothing.
    EXPECT_TRUE(inhibitor.hold(kCardInstance).alreadyHeld);
    EXPECT_EQ(calls().size(), 1u);

    // Released: the returned ttys are probed and the modem comes back with them.
    const auto released = inhibitor.release();
    EXPECT_EQ(released.result, ModemManagerResult::ok) << released.detail;
    EXPECT_TRUE(bus->waitForState([&](const nlohmann::json& state) {
        return hasAll(state["modem"], returned) && hasAll(state["probed"], returned);
    })) << bus->modemManagerState().dump();
    state = bus->modemManagerState();
    EXPECT_TRUE(state["held"].empty()) << state.dump();
    EXPECT_FALSE(hasAny(state["modem"], ttys)) << state.dump();
    testbed.setPacing(nullptr);
}

} // namespace
