#include "tests/support/UdevTestbed.h"

#include "platform/Clock.h"
#include "platform/ModemInhibitor.h"
#include "tests/support/SystemBusMocks.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
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

// Debian 12's ModemManager itself, started for the test on the private bus under the emulated
// udev, with the card's ttys answering its AT probing.
constexpr const char* kRealModemManager = "/usr/sbin/ModemManager";
constexpr const char* kEnv = "/usr/bin/env";
constexpr const char* kUnshare = "/usr/bin/unshare";
constexpr const char* kShell = "/bin/sh";
constexpr const char* kPolkitName = "org.freedesktop.PolicyKit1";
constexpr const char* kControlAction = "org.freedesktop.ModemManager1.Control";
constexpr auto kDaemonWait = std::chrono::seconds(30);
constexpr auto kAnswerPoll = std::chrono::milliseconds(50);
constexpr int kCardTtyCount = 4;
// ModemManager's own mark (its 80-mm-candidate.rules) and its allowlist mark: the testbed binds
// an interface's driver only after its tty's "add", where the daemon's filter reads the driver.
constexpr const char* kCandidate = "E: ID_MM_CANDIDATE=1\nE: ID_MM_DEVICE_PROCESS=1\n";
// The daemon runs in a network namespace of its own whose datagram sockets queue this many
// messages: umockdev's uevent socket is one, and its sender ends the test when a listener's
// queue (10 by default, a kernel's netlink socket holds far more) is full.
constexpr const char* kDaemonNamespace =
    "echo 512 > /proc/sys/net/unix/max_dgram_qlen && exec \"$@\"";
// Longer than the daemon waits after a port appears before probing it (1.5 s) and its first
// AT probe: a card it was free to probe would have been asked by then.
constexpr auto kDaemonNoProbeWatch = std::chrono::seconds(4);

// Answers every AT command on the card's ttys with OK, as a card that takes its probing.
class ProbeAnswerer {
public:
    explicit ProbeAnswerer(std::vector<int> terminals)
        : terminals_(std::move(terminals)), thread_([this] { run(); }) {}
    ~ProbeAnswerer() {
        stop_ = true;
        thread_.join();
    }
    // How many AT commands the card's ttys were sent.
    int commands() const { return commands_; }

private:
    void run() {
        std::vector<std::string> lines(terminals_.size());
        while (!stop_) {
            std::vector<pollfd> polled;
            for (const int fd : terminals_)
                polled.push_back({fd, POLLIN, 0});
            if (poll(polled.data(), polled.size(), static_cast<int>(kAnswerPoll.count())) <= 0)
                continue;
            for (size_t i = 0; i < polled.size(); ++i) {
                if (!(polled[i].revents & POLLIN))
                    continue;
                char buffer[256];
                const ssize_t got = read(polled[i].fd, buffer, sizeof buffer);
                if (got <= 0)
                    continue;
                lines[i].append(buffer, static_cast<size_t>(got));
                for (size_t end; (end = lines[i].find('\r')) != std::string::npos;) {
                    const bool command = lines[i].find("AT") < end;
                    lines[i].erase(0, end + 1);
                    if (command)
                        ++commands_;
                    static const std::string kOk = "\r\nOK\r\n";
                    if (command && write(polled[i].fd, kOk.data(), kOk.size()) < 0)
                        break;
                }
            }
        }
    }

    std::vector<int> terminals_;
    std::atomic<bool> stop_{false};
    std::atomic<int> commands_{0};
    std::thread thread_;
};

class RealModemManager : public UdevModemManager {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(kRealModemManager))
            GTEST_SKIP() << kRealModemManager << " is not installed (Debian package modemmanager)";
        if (geteuid() != 0)
            GTEST_SKIP() << "the daemon's network namespace needs root";
        UdevModemManager::SetUp();
    }
    void TearDown() override {
        daemon.reset();
        polkit.reset();
        UdevModemManager::TearDown();
    }

    // The card with ModemManager's own mark on its ttys (its 80-mm-candidate.rules).
    void loadCandidateCard() {
        const std::string text =
            UdevTestbed::withTtyProperties(UdevTestbed::treeText("qt0880"), kCandidate);
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed.get(), text.c_str(), &error))
            << (error ? error->message : "");
    }

    // polkit (python3-dbusmock's) allows ModemManager's control action; the daemon itself runs
    // in test-session mode on the same private bus, with its ttys' exclusive mode accepted.
    void startDaemon() {
        polkit = std::make_unique<bustest::Process>(std::vector<std::string>{
            bustest::kPython, "-m", "dbusmock", "--system", "-t", "polkitd"});
        ASSERT_TRUE(bustest::SystemBus::waitForName(kPolkitName));
        bustest::SystemBus::output({bustest::kGdbus, "call", "--system", "--dest", kPolkitName,
                                    "--object-path", "/org/freedesktop/PolicyKit1/Authority",
                                    "--method", "org.freedesktop.DBus.Mock.SetAllowed",
                                    std::string("['") + kControlAction + "']"});
        const char* preload = getenv("LD_PRELOAD");
        const char* bus = getenv("DBUS_SYSTEM_BUS_ADDRESS");
        ASSERT_NE(bus, nullptr);
        daemon = std::make_unique<bustest::Process>(std::vector<std::string>{
            kUnshare, "--net", "--", kShell, "-c", kDaemonNamespace, "sh", kEnv,
            std::string("LD_PRELOAD=") + KESTREL_EXCLUSIVE_TTY_PRELOAD + ":" +
                (preload ? preload : ""),
            std::string("DBUS_SESSION_BUS_ADDRESS=") + bus, kRealModemManager, "--test-session",
            "--log-level=DEBUG", "--log-file=" + daemonLogPath()});
        ASSERT_TRUE(bustest::SystemBus::waitForName(bustest::kModemManagerName)) << daemonLog();
    }

    std::string daemonLogPath() const { return folder + "/ModemManager.log"; }
    std::string daemonLog() const {
        std::ifstream file(daemonLogPath());
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    static std::string managedObjects() {
        return bustest::SystemBus::output({bustest::kGdbus, "call", "--system", "--dest",
                                           bustest::kModemManagerName, "--object-path",
                                           "/org/freedesktop/ModemManager1", "--method",
                                           "org.freedesktop.DBus.ObjectManager.GetManagedObjects"});
    }
    static bool modemListed() { return managedObjects().find("/Modem/") != std::string::npos; }

    std::vector<int> cardTerminals(int renumber = 0) {
        std::vector<int> terminals;
        for (int number = 0; number < kCardTtyCount; ++number)
            terminals.push_back(
                testbed.terminal("/dev/ttyUSB" + std::to_string(number + renumber)));
        return terminals;
    }
    bool daemonLogHas(const std::string& text) const {
        return daemonLog().find(text) != std::string::npos;
    }

    std::unique_ptr<bustest::Process> polkit;
    std::unique_ptr<bustest::Process> daemon;
};

TEST_F(RealModemManager, CardIsInhibitedByTheUidTheDaemonReportsAndReleasedAtTheEnd) {
    loadCandidateCard();
    ProbeAnswerer answerer(cardTerminals());
    startDaemon();
    ModemInhibitor inhibitor;
    // The daemon is still probing the card at first: the inhibitor asks until it is exported.
    const auto held = inhibitor.hold(kCardInstance);
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail << "\n" << daemonLog();
    EXPECT_EQ(held.modem.uid, kCardPath);
    EXPECT_NE(daemonLog().find(std::string("device inhibition setup for uid '") + kCardPath + "'"),
              std::string::npos)
        << daemonLog();
    // The inhibited card's modem is off the bus and its ports are closed.
    EXPECT_TRUE(testsupport::waitUntil([] { return !modemListed(); }, kDaemonWait))
        << managedObjects();

    const auto released = inhibitor.release();
    EXPECT_EQ(released.result, ModemManagerResult::ok) << released.detail;
    EXPECT_NE(
        daemonLog().find(std::string("device inhibition teardown for uid '") + kCardPath + "'"),
        std::string::npos)
        << daemonLog();
    EXPECT_TRUE(testsupport::waitUntil([] { return modemListed(); }, kDaemonWait)) << daemonLog();
}

TEST_F(RealModemManager, InhibitionHoldsTheCardsReturningPortsUntilRelease) {
    loadCandidateCard();
    auto answerer = std::make_unique<ProbeAnswerer>(cardTerminals());
    startDaemon();
    ModemInhibitor inhibitor;
    const auto held = inhibitor.hold(kCardInstance);
    ASSERT_EQ(held.result, ModemManagerResult::ok) << held.detail << "\n" << daemonLog();
    answerer.reset();

    // The card leaves and returns with new ttys (its mode switch or reset) while Kestrel holds
    // it: the daemon keeps the returning ports aside and does not probe them.
    testbed.unplug("qt0880");
    udevtest::Arrival arrival;
    arrival.ttyProperties = kCandidate;
    testbed.plug("qt0880", kReturnRenumber, arrival);
    ProbeAnswerer returned(cardTerminals(kReturnRenumber));
    const std::string heldBack = "added port ttyUSB" + std::to_string(kReturnRenumber);
    ASSERT_TRUE(testsupport::waitUntil([&] { return daemonLogHas(heldBack); }, kDaemonWait))
        << daemonLog();
    std::this_thread::sleep_for(kDaemonNoProbeWatch);
    EXPECT_EQ(returned.commands(), 0) << daemonLog();
    EXPECT_FALSE(modemListed()) << managedObjects();
    EXPECT_TRUE(inhibitor.holding());

    // Released: the daemon probes the returned ports and the modem comes back with them.
    EXPECT_EQ(inhibitor.release().result, ModemManagerResult::ok);
    EXPECT_TRUE(testsupport::waitUntil([] { return modemListed(); }, kDaemonWait)) << daemonLog();
    EXPECT_GT(returned.commands(), 0);
    EXPECT_NE(managedObjects().find("ttyUSB" + std::to_string(kReturnRenumber)), std::string::npos)
        << managedObjects();
}

} // namespace
