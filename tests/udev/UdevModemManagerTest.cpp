#include "UdevTestbed.h"

#include "platform/Clock.h"
#include "platform/ModemInhibitor.h"
#include "tests/platform/SystemBusMocks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using platform::ModemInhibitor;
using platform::ModemManagerResult;
using udevtest::UdevTestbed;

constexpr const char* kCardInstance = "USB\\VID_1234&PID_5678\\1-1";
constexpr const char* kCardPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char* kCardStanza = "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n";
// Scale at which the minute a probing card is asked for takes three seconds.
constexpr double kQuickScale = 0.05;

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

    UdevTestbed testbed;
    std::string folder;
    std::unique_ptr<bustest::SystemBus> bus;
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

} // namespace
