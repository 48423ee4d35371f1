#include "tests/support/NwLibraryTestSupport.h"

#include "detection/DeviceEnumeration.h"
#include "platform/Clock.h"
#include "platform/PseudoTerminal.h"
#include "platform/sim/SimulatedDeviceTree.h"
#include "sim/DeviceFile.h"
#include "sim/DeviceProfile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace detectiontest;
using Kind = platform::DeviceTreeChange::Kind;

constexpr const char* kDeviceFile = "card0.json";
constexpr const char* kDeviceFileName = "card0";
constexpr const char* kComPortInterface = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
// The library's detection timeout, and a bound beyond it for waits that must see either the
// card started or the timeout (logical milliseconds).
constexpr uint64_t kDetectionTimeoutMs = 300000;
constexpr uint64_t kCompletionWaitMs = kDetectionTimeoutMs + 100000;
// Between two publishing stages written by a test, so that the library reacts to each.
constexpr uint64_t kStagePauseMs = 20000;
constexpr auto kDeliveryWait = std::chrono::seconds(10);
constexpr const char* kStageDelayMs = "150";

// Detection on the simulated machine through the library's own notification window and step
// selection: the library is initialised on this thread before the card arrives, and this
// thread pumps the window's messages, as a client does.
class CardSimulatorDetection : public NwSession {
protected:
    void SetUp() override {
        NwSession::SetUp();
        root_ = folder + "/machine";
        simulated_ = std::make_shared<platform::SimulatedDeviceTree>(root_);
        platform::installDeviceTree(simulated_);
        subscription_ = simulated_->subscribe({{kComPortInterface}, true, true},
                                              [this](const platform::DeviceTreeChange& change) {
                                                  std::lock_guard<std::mutex> guard(mutex_);
                                                  changes_.push_back(change);
                                                  changed_.notify_all();
                                              });
        databaseText() = std::string(detection::shippedCardDatabase());
        module().text = databaseText();
        ASSERT_EQ(NwInitialize(&module()), 0u) << log.dump();
        registerCallback();
    }
    void TearDown() override {
        stopSimulator();
        NwSession::TearDown();
        simulated_->unsubscribe(subscription_);
        simulated_.reset();
    }

    void startSimulator(const std::string& profile) {
        std::vector<std::string> words = {
            KESTREL_CARDSIM_PATH, "--root", root_,          "--name",     kDeviceFileName,
            "--profile",          profile,  "--node-delay", kStageDelayMs};
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&simulator_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    }
    void stopSimulator() {
        if (simulator_ <= 0)
            return;
        kill(simulator_, SIGTERM);
        int status = 0;
        waitpid(simulator_, &status, 0);
        simulator_ = -1;
    }

    // Publishes the first `stages` stages of `profile` as the simulator would, with two
    // pseudo-terminals of this test as its ports, and waits until the tree has delivered the
    // change; then lets the library react.
    void publishStages(const cardsim::DeviceProfile& profile, size_t stages) {
        if (!ports_[0].isOpen()) {
            ASSERT_TRUE(ports_[0].open());
            ASSERT_TRUE(ports_[1].open());
        }
        std::unique_lock<std::mutex> lock(mutex_);
        const auto changed = [&] {
            return std::count_if(changes_.begin(), changes_.end(),
                                 [](const auto& c) { return c.kind == Kind::NodesChanged; });
        };
        const auto before = changed();
        lock.unlock();
        std::string problem;
        ASSERT_TRUE(cardsim::writeDeviceFile(
            cardsim::deviceFilePath(root_, kDeviceFileName),
            cardsim::deviceProfileFile(profile, ports_[0].portName(), ports_[1].portName(), stages),
            &problem))
            << problem;
        lock.lock();
        ASSERT_TRUE(changed_.wait_for(lock, kDeliveryWait, [&] { return changed() > before; }));
        lock.unlock();
        pumpFor(kStagePauseMs);
    }

    // A notification after which the client finds no card: the card has stopped.
    static bool notifiedStopped() {
        for (const auto& note : notifications())
            if (note.reason == NwReasonDeviceChange && note.result == NwErrorNoCard &&
                note.state == CardStateStopped)
                return true;
        return false;
    }
    bool timedOut() const { return log.has("Nw: Detection timed out, cancelling..."); }
    // Pumps until the card has started or the detection has timed out; true when it started.
    bool waitUntilStarted() {
        pumpUntil([&] { return notified(CardStateStarted, NwReasonDeviceChange) || timedOut(); },
                  kCompletionWaitMs);
        nodesAtCompletion_ = nodeCount();
        return notified(CardStateStarted, NwReasonDeviceChange);
    }

    size_t nodeCount() {
        std::vector<platform::DevNode> nodes;
        simulated_->devicesOfEnumerator("USB", nodes);
        const size_t usb = nodes.size();
        simulated_->devicesOfEnumerator("LMUHSBUS", nodes);
        return usb + nodes.size();
    }
    std::string portOf(const std::string& id) {
        std::string port;
        simulated_->registryValue(simulated_->node(kDeviceFile, id),
                                  platform::RegistryKey::Hardware, "PortName", port);
        return port;
    }
    int count(Kind kind) {
        std::lock_guard<std::mutex> guard(mutex_);
        return static_cast<int>(std::count_if(changes_.begin(), changes_.end(),
                                              [&](const auto& c) { return c.kind == kind; }));
    }
    // The record as a client reads it.
    const NwCardInfo& info() {
        card_ = NwCardInfo{};
        card_.size = sizeof card_;
        NwGetCardInfo(&card_);
        return card_;
    }
    static std::string text(const char16_t* field) {
        return detection::utf8FromUtf16(detection::textOf(field, NW_TEXT_LENGTH));
    }

    std::string root_;
    std::shared_ptr<platform::SimulatedDeviceTree> simulated_;
    uint64_t subscription_ = 0;
    pid_t simulator_ = -1;
    platform::PseudoTerminal ports_[2];
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<platform::DeviceTreeChange> changes_;
    size_t nodesAtCompletion_ = 0;
    NwCardInfo card_{};
};

TEST(CardSimulatorProfiles, EveryDeviceProfileIsASimulatorProfileOfItsOwn) {
    std::set<std::string> names;
    for (const auto& profile : cardsim::cardProfiles())
        EXPECT_TRUE(names.insert(profile.name).second) << "two profiles named " << profile.name;
    for (const auto& devices : cardsim::deviceProfiles()) {
        const cardsim::CardProfile* card = cardsim::findCardProfile(devices.name);
        ASSERT_NE(card, nullptr) << devices.name;
        EXPECT_EQ(card->deviceProfile, devices.name);
        EXPECT_EQ(card->factoryState.model, devices.model);
        EXPECT_EQ(card->factoryState.lmCode.rfind(devices.model + "-", 0), 0u)
            << devices.name << " reports the product code " << card->factoryState.lmCode;
        // Each stage adds something, and the last one has every node started.
        const auto all = cardsim::deviceProfileFile(devices, "pts/1", "pts/2", stageCount(devices));
        EXPECT_EQ(all.nodes.size(), devices.nodes.size());
        for (const auto& node : all.nodes)
            EXPECT_TRUE(node.status.started) << devices.name << " " << node.id;
        const auto first = cardsim::deviceProfileFile(devices, "pts/1", "pts/2", 1);
        EXPECT_LT(first.nodes.size() + first.deviceNames.size(),
                  all.nodes.size() + all.deviceNames.size())
            << devices.name;
    }
}

TEST(CardSimulatorProfiles, PortsWithoutAPseudoTerminalAreLeftOut) {
    const auto* devices = cardsim::findDeviceProfile("QT0880-composite");
    ASSERT_NE(devices, nullptr);
    const auto file = cardsim::deviceProfileFile(*devices, "pts/1", "", stageCount(*devices));
    for (const auto& node : file.nodes) {
        EXPECT_NE(node.id, "diag");
        if (node.id == "app") {
            EXPECT_EQ(node.friendlyName, "Velmar Application Interface (pts/1)");
        }
    }
}

TEST_F(CardSimulatorDetection, CompositeCardCompletesWhenItsNodesHaveArrived) {
    startSimulator("QT0880-composite");
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_EQ(info().state, uint32_t(CardStateStarted));
    EXPECT_EQ(nodesAtCompletion_, 6u)
        << "the card, its function node, two ports, modem and adapter";
    EXPECT_GE(count(Kind::NodesChanged), 4) << "one change per publishing stage";
    EXPECT_EQ(count(Kind::PortArrival), 2) << "the two ports";
    EXPECT_EQ(count(Kind::InterfaceArrival), 2) << "their COM port interfaces";

    const std::string app = portOf("app");
    const std::string diag = portOf("diag");
    ASSERT_FALSE(app.empty());
    EXPECT_EQ(text(info().portName), "\\\\.\\" + app);
    EXPECT_EQ(text(info().dbgPortName), "\\\\.\\" + diag);
    EXPECT_EQ(text(info().modemName), "Velmar QT0880 Modem");
    EXPECT_EQ(text(info().wwanNicName), "Velmar QT0880 Network Adapter");
    EXPECT_EQ(text(info().netCfgInstanceId), "{5A1C0880-0001-4E2D-9A51-7E1A00000880}");
    EXPECT_EQ(text(info().wwanNdisPortName), "\\\\.\\LMNDIS0");
    EXPECT_EQ(text(info().busDeviceName), "\\\\.\\lmuhsbus0");
    EXPECT_EQ(text(info().deviceInstanceId), "USB\\VID_1234&PID_5678\\0001");
    EXPECT_EQ(info().driverVersionMs, 0x00030002u);
    EXPECT_EQ(info().driverVersionLs, 0x00010000u);
    EXPECT_TRUE(log.has("Nw: Final port could be opened successfully"));
    EXPECT_TRUE(log.has("Nw: This card has a modem device and has a WWAN NIC device"));

    // Unplugging removes the card's node.
    const uint32_t devNode = info().devNode;
    stopSimulator();
    std::unique_lock<std::mutex> lock(mutex_);
    const size_t before = changes_.size();
    platform::waitFor(changed_, lock, kCompletionWaitMs, [&] {
        return simulated_->node(kDeviceFile, "card") == 0 || changes_.size() > before + 3;
    });
    lock.unlock();
    EXPECT_FALSE(detection::IsDeviceNodeActive(devNode, true));
    EXPECT_TRUE(pumpUntil(notifiedStopped, kCompletionWaitMs));
}

TEST_F(CardSimulatorDetection, SimulatorsOwnLayoutIsDetectedWithItsPorts) {
    startSimulator("QT0880");
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_EQ(text(info().portName), "\\\\.\\" + portOf("app"));
    EXPECT_EQ(text(info().dbgPortName), "\\\\.\\" + portOf("diag"));
    EXPECT_EQ(info().model, 0x1C00u);
    EXPECT_EQ(info().driverVersionMs, 0x00020001u);
}

TEST_F(CardSimulatorDetection, NonMultiplexingCardUsesItsModemsPort) {
    startSimulator("GT300");
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_EQ(text(info().modemName), "Velmar GT300 Modem");
    EXPECT_EQ(text(info().portName), "\\\\.\\" + portOf("modem"));
}

TEST_F(CardSimulatorDetection, WwanCardFindsTheNdisDeviceOfItsAdapter) {
    startSimulator("WX500");
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_EQ(text(info().wwanNdisPortName), "\\\\.\\LMNDIS1");
    EXPECT_EQ(text(info().wwanNicName), "Velmar WX500 Network Adapter");
}

TEST_F(CardSimulatorDetection, BusDriver72CardWaitsForItsAdaptersDriver) {
    startSimulator("MX720");
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_NE(info().driverCap & CardDriverCapabilitiesWwanNic, 0u);
    EXPECT_EQ(text(info().wwanNicName), "Velmar MX720 Network Adapter");
    EXPECT_EQ(text(info().busDeviceName), "\\\\.\\lm72ubus0");
}

TEST_F(CardSimulatorDetection, SmartCardReaderOfFamily3IsFound) {
    startSimulator("SC650");
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_TRUE(log.has("Nw: This card has a smart card reader device"));
    EXPECT_EQ(text(info().smartCardReaderName), "Velmar SC650 Smart Card Reader");
    EXPECT_EQ(text(info().busDeviceName), "\\\\.\\lmvbus0");
}

// Every layout of the simulator's drivers completes after it arrives, through the events the
// library's window registers for and its own step selection.
class EveryDeviceProfile : public CardSimulatorDetection,
                           public ::testing::WithParamInterface<std::string> {};

TEST_P(EveryDeviceProfile, CompletesAfterArrivingThroughTheLibrarysOwnStepSelection) {
    startSimulator(GetParam());
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_FALSE(timedOut());
    EXPECT_EQ(info().state, uint32_t(CardStateStarted));
    EXPECT_FALSE(text(info().portName).empty());
}

std::vector<std::string> deviceProfileNames() {
    std::vector<std::string> names;
    for (const auto& profile : cardsim::deviceProfiles())
        names.push_back(profile.name);
    return names;
}

std::string testName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(CardSimulatorDetection, EveryDeviceProfile,
                         ::testing::ValuesIn(deviceProfileNames()), testName);

// The composite card with its nodes published in another order: node id to stage (the adapter's
// NDIS control device comes with the adapter).
cardsim::DeviceProfile compositeCardInOrder(const std::map<std::string, size_t>& stages) {
    cardsim::DeviceProfile profile = *cardsim::findDeviceProfile("QT0880-composite");
    for (auto& entry : profile.nodes) {
        const auto stage = stages.find(entry.node.id);
        if (stage != stages.end())
            entry.stage = entry.startedStage = stage->second;
    }
    for (auto& entry : profile.deviceNames)
        if (entry.name.name == "LMNDIS0")
            entry.stage = stages.at("nic");
    return profile;
}

TEST_F(CardSimulatorDetection, PortsBeforeTheModemAreCompletedByTheAdaptersNetworkArrival) {
    const auto profile =
        compositeCardInOrder({{"ff", 1}, {"app", 1}, {"diag", 1}, {"modem", 2}, {"nic", 3}});
    for (size_t stages = 1; stages <= 3; ++stages)
        publishStages(profile, stages);
    // The ports' COM port arrivals came before the modem was known, and the modem's own arrival
    // is not in the application port's mask.
    EXPECT_TRUE(log.mentions("Nw: Corresponding modem Velmar QT0880 Modem found")) << log.dump();
    EXPECT_FALSE(log.has("Nw: Final port could be opened successfully"));
    EXPECT_FALSE(notified(CardStateStarted, NwReasonDeviceChange));

    publishStages(profile, 4);
    ASSERT_TRUE(waitUntilStarted()) << log.dump();
    EXPECT_TRUE(log.has("Nw: DetectionEvent is DetEvNetworkDevIfArrived"));
    EXPECT_EQ(text(info().wwanNicName), "Velmar QT0880 Network Adapter");
    EXPECT_EQ(text(info().dbgPortName), "\\\\.\\" + ports_[1].portName());
}

TEST_F(CardSimulatorDetection, CardWhoseModemComesAfterItsPortsAndAdapterWaitsForTheTimeout) {
    const auto profile =
        compositeCardInOrder({{"ff", 1}, {"app", 1}, {"diag", 1}, {"nic", 2}, {"modem", 3}});
    const uint64_t arrival = platform::tickMs();
    for (size_t stages = 1; stages <= 4; ++stages)
        publishStages(profile, stages);
    // Every method of this card is event based: no polling timer, and no later COM port or
    // network arrival runs the application port step, so the detection timeout ends the wait.
    EXPECT_FALSE(waitUntilStarted());
    EXPECT_TRUE(timedOut()) << log.dump();
    EXPECT_GE(platform::tickMs() - arrival, kDetectionTimeoutMs);
    EXPECT_FALSE(log.has("Nw: Polling timer started with 1 sec frequency"));
    EXPECT_TRUE(log.mentions("Nw: Corresponding modem Velmar QT0880 Modem found"));
    EXPECT_FALSE(log.has("Nw: Final port could be opened successfully"));
    EXPECT_TRUE(pumpUntil(notifiedStopped, kStagePauseMs));
    EXPECT_EQ(info().state, uint32_t(CardStateStopped));
}

} // namespace
