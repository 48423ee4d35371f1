#pragma once

#include "tests/support/PrivateSystemFolders.h"
#include "tests/support/TreeCardBus.h"

#include "sim/CardSimulator.h"
#include "sim/Loader.h"
#include "tests/support/EndToEndSupport.h"
#include "tests/support/SystemBusMocks.h"
#include "tests/support/UdevTestbed.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace udeve2e {

namespace fs = std::filesystem;

constexpr const char* kLogName = "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard.log";
constexpr const char* kUnit = "CmxService.service";
constexpr const char* kCardSysfsPath = TreeCardBus::kSysfsPath;
// The card's modem as ModemManager knows it.
constexpr const char* kModemUid = "card-uid";
// The simulated machine's card is the USB device "0001".
constexpr const char* kSimulatedCardSysfsPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/0001";
// Between two uevents: the updater's monitor reads each before the emulated socket's short
// queue fills.
constexpr auto kEventPause = std::chrono::milliseconds(10);
constexpr auto kRunLimit = std::chrono::seconds(120);

// The machine the real updater runs on.
enum class Backend {
    // Its Linux backends: an emulated udev (this program runs under umockdev-wrapper, whose
    // preload and testbed the updater inherits) with the card behind its ttys, systemd and
    // ModemManager as mocks on a private system bus, the system's folders below a temporary
    // folder in a private mount namespace.
    udev,
    // The simulated machine (KESTREL_SIM_ROOT): device files, services.json, modemmanager.json.
    simulated,
};

inline std::ostream& operator<<(std::ostream& out, Backend backend) {
    return out << (backend == Backend::udev ? "udev" : "simulated");
}

// What held when the card came onto the bus.
struct Arrival {
    int generation = 0;
    bool inhibited = false;
    bool unitRunning = false;
};

// One machine of either backend with the card simulator in this process, and the updater.
class UpdateMachine : public ::testing::TestWithParam<Backend> {
public:
    static constexpr const char* kTimeScale = "0.05";

protected:
    bool onUdev() const { return GetParam() == Backend::udev; }

    void SetUp() override {
        char pattern[] = "/tmp/kestrel-machine-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        for (const char* folder : {"config", "objects", "out", "card"})
            fs::create_directories(root / folder);
        setenv("KESTREL_TIME_SCALE", kTimeScale, 1);
        if (!onUdev()) {
            fs::create_directories(root / "devices");
            e2e::writeFile(root / "services.json", "{\"CmxService\": \"running\"}\n");
            return;
        }
        createPrivateSystemFolders(root);
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

    // The ModemManager mock's parameters for the card's modem (as 1.22 shows it), with these
    // changed.
    static nlohmann::json modemManagerParameters(const nlohmann::json& changes = {}) {
        nlohmann::json parameters{{"uid", kModemUid}, {"physdev", kCardSysfsPath}};
        for (const auto& [name, value] : changes.items())
            parameters[name] = value;
        return parameters;
    }

    // ModemManager knows the card's modem; inhibited by `holder` already when not empty.
    void startModemManager(const std::string& holder = "") {
        if (onUdev()) {
            nlohmann::json parameters = modemManagerParameters();
            if (!holder.empty())
                parameters["inhibited_by"] = holder;
            ASSERT_TRUE(bus->startModemManager(parameters));
            return;
        }
        e2e::writeFile(root / "modemmanager.json",
                       std::string("{\"modems\": [{\"device\": \"") + kModemUid +
                           "\", \"physdev\": \"" + kSimulatedCardSysfsPath +
                           "\", \"inhibited\": " + (holder.empty() ? "false" : "true") + "}]}\n");
    }

    // Plugs the card in, on firmware `state` (JSON members of the simulator's state), with the
    // loader's defaults. They are a named object: GCC 12's Release build takes the strings of a
    // temporary for uninitialised.
    void startCard(const std::string& state) {
        const cardsim::LoaderOptions defaults;
        startCard(state, defaults);
    }

    void startCard(const std::string& state, const cardsim::LoaderOptions& loaderOptions,
                   cardsim::SimulatorOptions options = {}) {
        e2e::writeFile(root / "card/state.json", state);
        options.stateFile = (root / "card/state.json").string();
        if (onUdev()) {
            cardBus = std::make_unique<TreeCardBus>(*testbed, cardTree, cardPortShift);
            options.bus = cardBus.get();
        } else {
            options.root = root.string();
        }
        card = std::make_unique<cardsim::CardSimulator>(options);
        card->setArrivalListener([this](const cardsim::Presence& presence) {
            const Arrival arrival{presence.generation, inhibited(), unitRunning()};
            std::lock_guard<std::mutex> guard(arrivalMutex);
            arrivals.push_back(arrival);
        });
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
                "XDG_CONFIG_HOME=" + (root / "config").string(),
                "KESTREL_SIM_ROOT=" + (onUdev() ? std::string() : root.string())};
    }

    // Runs `program` to its end, collecting its standard output.
    e2e::RunResult run(const fs::path& program, const std::vector<std::string>& options) {
        std::vector<std::string> words{program.string()};
        words.insert(words.end(), options.begin(), options.end());
        e2e::RunResult result;
        e2e::Child updater(onUdev() ? withPrivateSystemFolders(root, program, options) : words,
                           environment());
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

    fs::path systemFolder(const std::string& path) const {
        return onUdev() ? root / path : root / "sysroot" / path;
    }
    std::string codePath() const { return (root / "out/code.txt").string(); }
    std::string codeFile() const { return e2e::readFile(codePath()); }
    std::string log() const { return e2e::readFile(systemFolder("var/log") / kLogName); }
    std::string registry() const {
        return e2e::readFile(systemFolder("var/lib/kestrel/registry.txt"));
    }
    std::string cardState() const { return e2e::readFile(root / "card/state.json"); }
    std::string sysfsPath() const { return onUdev() ? kCardSysfsPath : kSimulatedCardSysfsPath; }

    bool unitRunning() const {
        if (onUdev())
            return bus->systemdState()["units"].value(kUnit, std::string()) == "active";
        return e2e::readFile(root / "services.json").find("\"CmxService\": \"running\"") !=
               std::string::npos;
    }
    bool inhibited() const {
        if (onUdev())
            return bus->modemManagerState()["inhibited"].contains(kModemUid);
        return e2e::readFile(root / "modemmanager.json").find("\"inhibited\": true") !=
               std::string::npos;
    }
    // Whether systemd was asked to stop the unit and later to start it again (udev only).
    bool unitStoppedThenStarted() const {
        bool stopped = false;
        bool startedAfter = false;
        const nlohmann::json state = bus->systemdState();
        for (const auto& call : state["calls"]) {
            stopped = stopped || call[0] == "StopUnit";
            startedAfter = startedAfter || (stopped && call[0] == "StartUnit");
        }
        return startedAfter;
    }
    // InhibitDevice calls with `inhibit`, as the ModemManager mock recorded them (udev only).
    int inhibitCalls(bool inhibit) const {
        int count = 0;
        const nlohmann::json state = bus->modemManagerState();
        for (const auto& call : state["calls"])
            count += call[1] == inhibit ? 1 : 0;
        return count;
    }
    // Arrival `generation`, or one with generation 0 when the card did not make it.
    Arrival arrival(int generation) {
        std::lock_guard<std::mutex> guard(arrivalMutex);
        for (const Arrival& each : arrivals)
            if (each.generation == generation)
                return each;
        return {};
    }
    int arrivalCount() {
        std::lock_guard<std::mutex> guard(arrivalMutex);
        return static_cast<int>(arrivals.size());
    }

    fs::path root;
    std::unique_ptr<udevtest::UdevTestbed> testbed;
    std::unique_ptr<bustest::SystemBus> bus;
    std::unique_ptr<TreeCardBus> cardBus;
    // The udev tree the next card plugs in with, and the shift of its port numbers.
    std::string cardTree = TreeCardBus::kTree;
    int cardPortShift = 0;
    std::unique_ptr<cardsim::CardSimulator> card;
    std::unique_ptr<cardsim::Loader> loader;
    std::mutex runningMutex;
    pid_t running = 0;
    std::mutex arrivalMutex;
    std::vector<Arrival> arrivals;
};

} // namespace udeve2e
