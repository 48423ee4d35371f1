#include "DetectionTestSupport.h"

#include "detection/DeviceEnumeration.h"
#include "platform/Clock.h"
#include "platform/sim/SimulatedDeviceTree.h"
#include "sim/DeviceProfile.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace detectiontest;
using Kind = platform::DeviceTreeChange::Kind;

constexpr uint64_t kCompletionWaitMs = 15000;
constexpr const char* kDeviceFile = "card0.json";

// Detection on the simulated machine, against a kestrel-cardsim process.
class CardSimulatorDetection : public DetectionTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-cardsim-detection-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        simulated_ = std::make_shared<platform::SimulatedDeviceTree>(root_);
        platform::installDeviceTree(simulated_);
        poseAs(detection::kOsType7);
        detection::ResetCardInfo();
        subscription_ =
            simulated_->subscribe({{"{86E0D1E0-8089-11D0-9CE4-08003E301F73}"}, true, true},
                                  [this](const platform::DeviceTreeChange& change) {
                                      std::lock_guard<std::mutex> guard(mutex_);
                                      changes_.push_back(change);
                                      changed_.notify_all();
                                  });
        loadShipped();
    }
    void TearDown() override {
        stopSimulator();
        simulated_->unsubscribe(subscription_);
        DetectionTest::TearDown();
        simulated_.reset();
        std::filesystem::remove_all(root_);
    }

    void startSimulator(const std::string& profile) {
        std::vector<std::string> words = {
            KESTREL_CARDSIM_PATH, "--root", root_,          "--name", "card0",
            "--profile",          profile,  "--node-delay", "150"};
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

    // What the card state machine does on each device change: detect the card, then complete
    // it step by step. Returns when the card has started or the wait is over.
    bool followUntilStarted() {
        const uint64_t deadline = platform::tickMs() + kCompletionWaitMs;
        size_t handled = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                const uint64_t now = platform::tickMs();
                if (now >= deadline)
                    return false;
                platform::waitFor(changed_, lock, deadline - now,
                                  [&] { return changes_.size() > handled; });
                handled = changes_.size();
            }
            auto& card = detection::currentCard();
            if (!detection::haveCard()) {
                if (detection::DetectAnyCard() == 1)
                    detection::SetCardState(CardStateStarting, 4);
            } else if (!card.subdevicesReady) {
                card.subdevicesReady =
                    detection::AreSubdevicesReady(card.info.devNode, card.info.model);
            }
            if (detection::haveCard()) {
                nodesAtCheck_ = nodeCount();
                if (checkAll(4) == 1)
                    return true;
            }
        }
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

    std::string root_;
    std::shared_ptr<platform::SimulatedDeviceTree> simulated_;
    uint64_t subscription_ = 0;
    pid_t simulator_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<platform::DeviceTreeChange> changes_;
    size_t nodesAtCheck_ = 0;
};

TEST(CardSimulatorProfiles, EveryDeviceProfileIsASimulatorProfileOfItsOwn) {
    std::set<std::string> names;
    for (const auto& profile : cardsim::cardProfiles())
        EXPECT_TRUE(names.insert(profile.name).second) << "two profiles named " << profile.name;
    for (const auto& devices : cardsim::deviceProfiles()) {
        const cardsim::CardProfile* card = cardsim::findCardProfile(devices.name);
        ASSERT_NE(card, nullptr) << devices.name;
        EXPECT_EQ(card->deviceProfile, devices.name);
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
    ASSERT_TRUE(followUntilStarted()) << log.dump();
    EXPECT_EQ(info().state, uint32_t(CardStateStarted));
    EXPECT_EQ(nodesAtCheck_, 6u) << "the card, its function node, two ports, modem and adapter";
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
}

TEST_F(CardSimulatorDetection, SimulatorsOwnLayoutIsDetectedWithItsPorts) {
    startSimulator("QT0880");
    ASSERT_TRUE(followUntilStarted()) << log.dump();
    EXPECT_EQ(text(info().portName), "\\\\.\\" + portOf("app"));
    EXPECT_EQ(text(info().dbgPortName), "\\\\.\\" + portOf("diag"));
    EXPECT_EQ(info().model, 0x1C00u);
    EXPECT_EQ(info().driverVersionMs, 0x00020001u);
}

TEST_F(CardSimulatorDetection, NonMultiplexingCardUsesItsModemsPort) {
    startSimulator("GT300");
    ASSERT_TRUE(followUntilStarted()) << log.dump();
    EXPECT_EQ(text(info().modemName), "Velmar GT300 Modem");
    EXPECT_EQ(text(info().portName), "\\\\.\\" + portOf("modem"));
}

TEST_F(CardSimulatorDetection, WwanCardFindsTheNdisDeviceOfItsAdapter) {
    startSimulator("WX500");
    ASSERT_TRUE(followUntilStarted()) << log.dump();
    EXPECT_EQ(text(info().wwanNdisPortName), "\\\\.\\LMNDIS1");
    EXPECT_EQ(text(info().wwanNicName), "Velmar WX500 Network Adapter");
}

TEST_F(CardSimulatorDetection, BusDriver72CardWaitsForItsAdaptersDriver) {
    startSimulator("MX720");
    ASSERT_TRUE(followUntilStarted()) << log.dump();
    EXPECT_NE(info().driverCap & CardDriverCapabilitiesWwanNic, 0u);
    EXPECT_EQ(text(info().wwanNicName), "Velmar MX720 Network Adapter");
    EXPECT_EQ(text(info().busDeviceName), "\\\\.\\lm72ubus0");
}

TEST_F(CardSimulatorDetection, SmartCardReaderOfFamily3IsFound) {
    startSimulator("SC650");
    ASSERT_TRUE(followUntilStarted()) << log.dump();
    EXPECT_TRUE(log.has("Nw: This card has a smart card reader device"));
    EXPECT_EQ(text(info().smartCardReaderName), "Velmar SC650 Smart Card Reader");
    EXPECT_EQ(text(info().busDeviceName), "\\\\.\\lmvbus0");
}

} // namespace
