#pragma once

#include "PrivateSystemFolders.h"
#include "TreeCardBus.h"

#include "sim/CardSimulator.h"
#include "sim/Loader.h"
#include "tests/e2e/EndToEndSupport.h"
#include "tests/platform/SystemBusMocks.h"
#include "tests/udev/UdevTestbed.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <string>
#include <thread>
#include <vector>

namespace udeve2e {

namespace fs = std::filesystem;

constexpr const char* kLogName = "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard.log";
constexpr const char* kUnit = "CmxService.service";
constexpr const char* kCardSysfsPath = TreeCardBus::kSysfsPath;
// The card's modem as the ModemManager mock knows it.
constexpr const char* kModemUid = "card-uid";
// Between two uevents: the updater's monitor reads each before the emulated socket's short
// queue fills.
constexpr auto kEventPause = std::chrono::milliseconds(10);
constexpr auto kRunLimit = std::chrono::seconds(120);

// A Linux machine for the real updater: an emulated udev (this program runs under
// umockdev-wrapper, whose preload and testbed the updater inherits) with the card simulator
// behind its ttys, systemd and ModemManager as mocks on a private system bus, and the system's
// folders in a temporary folder. No KESTREL_SIM_ROOT: the updater runs on its Linux backends.
class UdevMachine : public ::testing::Test {
public:
    static constexpr const char* kTimeScale = "0.05";

protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-udev-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        for (const char* folder :
             {"var/log", "var/lib/kestrel", "run/kestrel", "config", "objects", "out", "card"})
            fs::create_directories(root / folder);
        setenv("KESTREL_TIME_SCALE", kTimeScale, 1);
        testbed = std::make_unique<udevtest::UdevTestbed>();
        testbed->load("root-hub");
        testbed->setPacing([] { std::this_thread::sleep_for(kEventPause); });
        bus = std::make_unique<bustest::SystemBus>(root.string());
        ASSERT_TRUE(bus->startSystemd({{"units", {{kUnit, "active"}}}}));
    }

    void TearDown() override {
        stopCard();
        bus.reset();
        testbed.reset();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // ModemManager with the card's modem; `extra` adds parameters of its mock.
    void startModemManager(nlohmann::json extra = nlohmann::json::object()) {
        extra["uid"] = kModemUid;
        extra["physdev"] = kCardSysfsPath;
        ASSERT_TRUE(bus->startModemManager(extra));
    }

    // Plugs the card in, on firmware `state` (JSON members of the simulator's state).
    void startCard(const std::string& state, const cardsim::LoaderOptions& loaderOptions = {}) {
        e2e::writeFile(root / "card/state.json", state);
        cardBus = std::make_unique<TreeCardBus>(*testbed);
        if (awayFrom != 0)
            cardBus->stayAwayFrom(awayFrom);
        cardBus->setArrivalObserver([this](int generation) {
            const bool held = inhibited();
            std::lock_guard<std::mutex> guard(arrivalMutex);
            inhibitedAtArrival.push_back({generation, held});
        });
        cardsim::SimulatorOptions options;
        options.bus = cardBus.get();
        options.stateFile = (root / "card/state.json").string();
        card = std::make_unique<cardsim::CardSimulator>(options);
        loader = std::make_unique<cardsim::Loader>(*card, loaderOptions);
        std::string problem;
        ASSERT_TRUE(card->start(&problem)) << problem;
    }

    // The card first, then the loader that runs on its thread.
    void stopCard() {
        if (card)
            card->stop();
        loader.reset();
        card.reset();
        cardBus.reset();
    }

    std::vector<std::string> environment() const {
        return {std::string("KESTREL_TIME_SCALE=") + kTimeScale,
                "KESTREL_OBJECT_NAMESPACE=" + (root / "objects").string(),
                "XDG_CONFIG_HOME=" + (root / "config").string(), "KESTREL_SIM_ROOT="};
    }

    // Runs `program` to its end, collecting its standard output.
    e2e::RunResult run(const fs::path& program, const std::vector<std::string>& options) {
        e2e::RunResult result;
        e2e::Child updater(withPrivateSystemFolders(root, program, options), environment());
        EXPECT_TRUE(updater.started());
        if (!updater.started())
            return result;
        e2e::Watchdog watchdog(updater.id(), kRunLimit);
        {
            std::lock_guard<std::mutex> guard(runningMutex);
            running = updater.id();
        }
        for (std::string line; updater.readLine(line);)
            result.lines.push_back(line);
        {
            // Not reaped yet, so a signal sent under the lock cannot reach another process.
            std::lock_guard<std::mutex> guard(runningMutex);
            running = 0;
        }
        result.exitStatus = updater.wait();
        result.timedOut = watchdog.expired();
        return result;
    }

    // kestrel -q, logging, with its exit-code file.
    e2e::RunResult kestrel() { return run(KESTREL_BINARY, {"-q", "-l", "-p", codePath()}); }

    // Sends `signal` to the updater that runs now; false when none does.
    bool signalUpdater(int signal) {
        std::lock_guard<std::mutex> guard(runningMutex);
        return running > 0 && kill(running, signal) == 0;
    }

    std::string codePath() const { return (root / "out/code.txt").string(); }
    std::string codeFile() const { return e2e::readFile(codePath()); }
    std::string log() const { return e2e::readFile(root / "var/log" / kLogName); }
    std::string registry() const { return e2e::readFile(root / "var/lib/kestrel/registry.txt"); }
    std::string cardState() const { return e2e::readFile(root / "card/state.json"); }
    std::string unitState() const {
        return bus->systemdState()["units"].value(kUnit, std::string());
    }
    // Whether the unit was stopped and then started again.
    bool unitStoppedThenStarted() const {
        bool stopped = false;
        bool startedAfter = false;
        const nlohmann::json state = bus->systemdState();
        for (const auto& call : state["calls"]) {
            if (call[0] == "StopUnit")
                stopped = true;
            if (call[0] == "StartUnit" && stopped)
                startedAfter = true;
        }
        return stopped && startedAfter;
    }
    nlohmann::json modemManager() const { return bus->modemManagerState(); }
    bool inhibited() const { return modemManager()["inhibited"].contains(kModemUid); }
    // The InhibitDevice calls: each [uid, inhibit, sender].
    int inhibitCalls(bool inhibit) const {
        int count = 0;
        const nlohmann::json state = modemManager();
        for (const auto& call : state["calls"])
            count += call[1] == inhibit ? 1 : 0;
        return count;
    }

    fs::path root;
    std::unique_ptr<udevtest::UdevTestbed> testbed;
    std::unique_ptr<bustest::SystemBus> bus;
    std::unique_ptr<TreeCardBus> cardBus;
    std::unique_ptr<cardsim::CardSimulator> card;
    std::unique_ptr<cardsim::Loader> loader;
    // Set before startCard: from this arrival on the card stays away.
    int awayFrom = 0;
    std::mutex runningMutex;
    pid_t running = 0;
    std::mutex arrivalMutex;
    // Each arrival of the card and whether ModemManager was inhibited for it then.
    std::vector<std::pair<int, bool>> inhibitedAtArrival;
};

} // namespace udeve2e
