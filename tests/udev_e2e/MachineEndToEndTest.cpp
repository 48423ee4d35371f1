#include "UpdateMachine.h"

#include "tests/support/RegistryRecord.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace udeve2e {
namespace {

constexpr const char* kProgrammingError = "ERROR: flash write failed";
constexpr int32_t kFlashProgrammingFailed = 0x20000001;
// Arrivals of a whole update: plugged, back in loader mode, back after the reset.
constexpr int kPlugged = 1;
constexpr int kLoaderArrival = 2;
constexpr int kReturnArrival = 3;
// A link slow enough at the tests' time scale that a signal lands mid-download.
constexpr uint64_t kSlowLinkBytesPerSecond = 200000;
constexpr int kBlocksBeforeSignal = 3;
constexpr auto kSignalWait = std::chrono::seconds(60);
constexpr auto kSignalPoll = std::chrono::milliseconds(5);
// Far beyond the updater's 60 s wait for the card to come back.
constexpr uint64_t kNeverMs = 3600000;
constexpr const char* kOtherProgram = ":1.999";
// The card's loader mode (AT%MODE=1).
constexpr int kLoaderMode = 1;
// Ten times a card's usual return, and a third of the updater's 60 s wait for it: the rest of
// the wait (2 s of real time at the tests' scale) leaves a loaded machine room to emulate the
// card's re-enumeration and settle it.
constexpr uint64_t kLateReturnMs = 20000;
// A second card in one testbed gets ports the first never had (umockdev makes a device node
// once): beyond the first card's three arrivals.
constexpr int kSecondCardPortShift = 4 * TreeCardBus::kPortsPerArrival;

std::string recordOf(const std::string& registry, const std::string& version) {
    return testsupport::registryValue(registry, testsupport::kQt0880RecordKey, version);
}

class MachineEndToEnd : public UpdateMachine {
protected:
    // The unit ran again and ModemManager had the card back, from Kestrel itself.
    void expectMachineRestored() {
        EXPECT_TRUE(unitRunning());
        EXPECT_FALSE(inhibited());
        if (onUdev()) {
            EXPECT_TRUE(unitStoppedThenStarted()) << bus->systemdState().dump();
            EXPECT_EQ(inhibitCalls(false), inhibitCalls(true))
                << "released by Kestrel, not only dropped when it left the bus: "
                << bus->modemManagerState().dump();
        }
    }
    // The card was held at this arrival: ModemManager inhibited, the unit stopped.
    void expectHeldAt(int generation) {
        const Arrival held = arrival(generation);
        EXPECT_EQ(held.generation, generation) << "the card did not arrive";
        EXPECT_TRUE(held.inhibited) << "ModemManager not inhibited at arrival " << generation;
        EXPECT_FALSE(held.unitRunning) << "unit running at arrival " << generation;
    }
    void expectLogHas(const std::string& text) {
        const std::string all = log();
        EXPECT_NE(all.find(text), std::string::npos) << text << " not in\n" << all;
    }
    // Sends `signal` once the loader has taken a few blocks, from a thread of its own.
    std::thread signalMidDownload(bool& sent, int signal = SIGTERM) {
        return std::thread([this, &sent, signal] {
            const auto deadline = std::chrono::steady_clock::now() + kSignalWait;
            while (loader->record().acceptedBlocks < kBlocksBeforeSignal &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(kSignalPoll);
            sent = loader->record().acceptedBlocks >= kBlocksBeforeSignal && signalUpdater(signal);
        });
    }
};

TEST_P(MachineEndToEnd, OlderFirmwareIsFlashedWhileModemManagerLeavesTheCardAloneThroughout) {
    startModemManager();
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos) << cardState();
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    expectHeldAt(kLoaderArrival);
    expectHeldAt(kReturnArrival);
    expectLogHas("Inhibited ModemManager for " + sysfsPath());
    expectLogHas("Released ModemManager for " + sysfsPath());
    expectMachineRestored();
    if (onUdev()) {
        EXPECT_EQ(inhibitCalls(true), 1) << "one inhibition over both re-enumerations";
        EXPECT_EQ(inhibitCalls(false), 1);
    }
}

TEST_P(MachineEndToEnd, HeadlessUpdaterFlashesTheCard) {
    startModemManager();
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = this->run(KESTREL_HEADLESS, {});
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.exitStatus, 0) << run.text();
    EXPECT_EQ(run.value("result"), "0") << run.text();
    EXPECT_EQ(run.value("exit"), "0");
    EXPECT_EQ(run.value("firmware"), "previous=3.18.2 current=3.19.0");
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    expectHeldAt(kLoaderArrival);
    expectHeldAt(kReturnArrival);
    expectMachineRestored();
}

TEST_P(MachineEndToEnd, CardThatNeverReturnsFromTheModeChangeEndsWith277) {
    startModemManager();
    cardsim::SimulatorOptions away;
    away.modeChangeDelayMs = kNeverMs;
    const cardsim::LoaderOptions defaults;
    startCard(e2e::kOlderCard, defaults, away);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(codeFile(), "277\n") << log();
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(arrivalCount(), kPlugged) << "the card came back";
    EXPECT_EQ(registry(), "") << "a failed update writes no record";
    expectLogHas("Released ModemManager for " + sysfsPath());
    expectMachineRestored();
}

TEST_P(MachineEndToEnd, CardThatReturnsLateButWithinTheWaitIsUpdated) {
    startModemManager();
    cardsim::SimulatorOptions late;
    late.modeChangeDelayMs = kLateReturnMs;
    const cardsim::LoaderOptions defaults;
    startCard(e2e::kOlderCard, defaults, late);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    expectHeldAt(kLoaderArrival);
    expectHeldAt(kReturnArrival);
    expectMachineRestored();
}

TEST_P(MachineEndToEnd, CardAlreadyInLoaderModeAtStartIsRecoveredAndUpdated) {
    startModemManager();
    cardsim::SimulatorOptions inLoader;
    inLoader.startMode = kLoaderMode;
    const cardsim::LoaderOptions defaults;
    startCard(e2e::kOlderCard, defaults, inLoader);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n") << log();
    expectLogHas("Recovery update complete (error 265)");
    EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos) << cardState();
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    expectMachineRestored();
}

TEST_P(MachineEndToEnd, ProgrammingErrorPassesTheFlashingCodeThroughAndReleasesTheCard) {
    startModemManager();
    cardsim::LoaderOptions options;
    options.faults.programmingError = kProgrammingError;
    startCard(e2e::kOlderCard, options);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(codeFile(), std::to_string(kFlashProgrammingFailed) + "\n") << log();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(registry(), "");
    expectHeldAt(kLoaderArrival);
    expectMachineRestored();
}

TEST_P(MachineEndToEnd, CardUnpluggedMidDownloadFailsTheUpdateAndReleasesTheCard) {
    startModemManager();
    cardsim::LoaderOptions options;
    options.faults.unplugAtBlock = kBlocksBeforeSignal;
    startCard(e2e::kOlderCard, options);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    const std::string code = codeFile();
    ASSERT_FALSE(code.empty());
    EXPECT_GE(std::stoll(code), kFlashProgrammingFailed) << "a flashing-library error: " << log();
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_EQ(registry(), "");
    expectLogHas("Released ModemManager for " + sysfsPath());
    expectMachineRestored();
}

TEST_P(MachineEndToEnd, WithoutModemManagerTheUpdateRunsAndSaysSoOnce) {
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    const std::string text = log();
    const std::string absent = "ModemManager is not running: nothing to inhibit";
    const size_t first = text.find(absent);
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find(absent, first + 1), std::string::npos) << "logged once";
    EXPECT_FALSE(arrival(kLoaderArrival).unitRunning);
    EXPECT_TRUE(unitRunning());
    if (onUdev()) {
        EXPECT_TRUE(unitStoppedThenStarted()) << bus->systemdState().dump();
    }
}

TEST_P(MachineEndToEnd, CardAnotherProgramInhibitedIsRefusedWith262AndKeepsThatInhibition) {
    startModemManager(kOtherProgram);
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(codeFile(), "262\n") << log();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(cardState().find("\"revision\": \"3.18.2\""), std::string::npos) << cardState();
    EXPECT_EQ(arrivalCount(), kPlugged) << "the card was not touched";
    EXPECT_TRUE(inhibited()) << "another program's inhibition was released";
    if (onUdev()) {
        EXPECT_EQ(bus->modemManagerState()["inhibited"].value(kModemUid, std::string()),
                  kOtherProgram);
        EXPECT_EQ(inhibitCalls(false), 0);
        EXPECT_TRUE(unitStoppedThenStarted()) << bus->systemdState().dump();
    }
    EXPECT_EQ(registry(), "");
    EXPECT_TRUE(unitRunning());
}

TEST_P(MachineEndToEnd, SigtermMidDownloadReleasesTheCardAndASecondRunRecoversIt) {
    startModemManager();
    cardsim::LoaderOptions options;
    options.bytesPerSecond = kSlowLinkBytesPerSecond;
    startCard(e2e::kOlderCard, options);
    bool sent = false;
    std::thread signaller = signalMidDownload(sent);
    const e2e::RunResult first = kestrel();
    signaller.join();
    ASSERT_TRUE(sent) << log();
    ASSERT_FALSE(first.timedOut) << log();
    EXPECT_EQ(first.exitStatus, 1) << log();
    EXPECT_EQ(codeFile(), "1223\n");
    EXPECT_EQ(registry(), "");
    expectLogHas("Released ModemManager for " + sysfsPath());
    expectMachineRestored();

    // The card stayed in loader mode with half an image: the next run flashes it from there
    // (265), and the unattended run repeats the update on the recovered card.
    const e2e::RunResult second = kestrel();
    ASSERT_FALSE(second.timedOut) << log();
    EXPECT_EQ(second.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n") << log();
    expectLogHas("Recovery update complete (error 265)");
    EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos) << cardState();
    // The repeat keeps the run's firmware flag of the recovery flash: recorded as flashed.
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    expectMachineRestored();
    if (onUdev()) {
        EXPECT_EQ(inhibitCalls(true), 2) << "one inhibition per run";
    }
}

// What only the system bus can show.
class SystemBusEndToEnd : public MachineEndToEnd {};

TEST_P(SystemBusEndToEnd, SigkillMidDownloadLeavesNoInhibitionAsModemManagerDropsItsCallers) {
    startModemManager();
    cardsim::LoaderOptions options;
    options.bytesPerSecond = kSlowLinkBytesPerSecond;
    startCard(e2e::kOlderCard, options);
    bool sent = false;
    std::thread signaller = signalMidDownload(sent, SIGKILL);
    const e2e::RunResult run = kestrel();
    signaller.join();
    ASSERT_TRUE(sent) << log();
    EXPECT_EQ(run.exitStatus, -1) << "ended by the signal";
    EXPECT_TRUE(bus->waitForState([](const nlohmann::json& state) {
        return state["inhibited"].empty();
    })) << bus->modemManagerState().dump();
    EXPECT_EQ(inhibitCalls(true), 1);
    EXPECT_EQ(inhibitCalls(false), 0) << "a killed Kestrel releases nothing itself";
    EXPECT_FALSE(unitRunning()) << "nothing starts the unit after a SIGKILL";
}

TEST_P(SystemBusEndToEnd, ModemManager120WithoutPhysdevIsInhibitedThroughTheUpdate) {
    // Debian 12's ModemManager: no Physdev, the modem's Device is the card's sysfs path.
    ASSERT_TRUE(bus->startModemManager(
        modemManagerParameters({{"version", "1.20.4"}, {"uid", kCardSysfsPath}})));
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    const auto loaderArrival = arrival(kLoaderArrival);
    EXPECT_EQ(loaderArrival.generation, kLoaderArrival);
    EXPECT_EQ(inhibitCalls(true), 1) << bus->modemManagerState().dump();
    EXPECT_EQ(inhibitCalls(false), 1);
    expectLogHas(std::string("Inhibited ModemManager for ") + kCardSysfsPath + " (" +
                 kCardSysfsPath + ")");
    EXPECT_TRUE(bus->modemManagerState()["inhibited"].empty());
}

TEST_P(SystemBusEndToEnd, ModemManagerThatRefusesTheCardEndsTheCheckWith262BeforeTheCardIsTouched) {
    ASSERT_TRUE(bus->startModemManager(modemManagerParameters(
        {{"refuse", "org.freedesktop.ModemManager1.Error.Core.Unauthorized"}})));
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(codeFile(), "262\n") << log();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(arrivalCount(), kPlugged) << "the card was touched";
    EXPECT_NE(cardState().find("\"revision\": \"3.18.2\""), std::string::npos) << cardState();
    expectLogHas("Cannot inhibit ModemManager for USB\\VID_1234&PID_5678\\1-1: "
                 "org.freedesktop.ModemManager1.Error.Core.Unauthorized");
    EXPECT_EQ(registry(), "");
    EXPECT_TRUE(unitRunning());
}

TEST_P(SystemBusEndToEnd, ModemManagerRestartedMidDownloadIsAskedAgainAndReleasedAtTheEnd) {
    startModemManager();
    cardsim::LoaderOptions options;
    options.bytesPerSecond = kSlowLinkBytesPerSecond;
    startCard(e2e::kOlderCard, options);
    // The updater runs on a thread of its own: the new daemon is started on the test's main
    // thread, which outlives it.
    e2e::RunResult run;
    std::thread updater([&] { run = kestrel(); });
    const auto deadline = std::chrono::steady_clock::now() + kSignalWait;
    while (loader->record().acceptedBlocks < kBlocksBeforeSignal &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kSignalPoll);
    std::string holder;
    const auto held = bus->modemManagerState()["calls"];
    if (!held.empty())
        holder = held[0][2];
    bus->stopModemManager();
    bus->startModemManager(modemManagerParameters());
    updater.join();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    // The new daemon was asked by the same updater, held the card when it came back from the
    // reset, and was released once at the end.
    expectHeldAt(kReturnArrival);
    const auto calls = bus->modemManagerState()["calls"];
    ASSERT_EQ(calls.size(), 2u) << calls.dump();
    EXPECT_EQ(calls[0][1], true);
    EXPECT_EQ(calls[0][2], holder);
    EXPECT_EQ(calls[1][1], false);
    EXPECT_TRUE(bus->modemManagerState()["inhibited"].empty());
    // The renewed hold is logged once, the first one as before.
    const std::string again = std::string("Inhibited ModemManager again for ") + kCardSysfsPath +
                              " (" + kModemUid + ") after it restarted";
    const std::string all = log();
    const size_t first = all.find(again);
    EXPECT_NE(first, std::string::npos) << again << " not in\n" << all;
    EXPECT_EQ(all.find(again, first + 1), std::string::npos) << "logged twice:\n" << all;
    expectLogHas(std::string("Inhibited ModemManager for ") + kCardSysfsPath + " (" + kModemUid +
                 ")");
}

// A recording keeps the card's udev devices as umockdev loads them: plugged into the next
// machine, the recorded card is found and updated as the card itself.
TEST_P(SystemBusEndToEnd, CardsRecordedUdevTreeIsUpdatedOnTheNextMachine) {
    startModemManager();
    startCard(e2e::kOlderCard);
    const fs::path recording = root / "out/recording.json";
    const e2e::RunResult check =
        run(KESTREL_BINARY, {"--check", "-p", codePath(), "--record", recording.string()});
    ASSERT_FALSE(check.timedOut) << log();
    EXPECT_EQ(codeFile(), "0\n") << check.text();
    const nlohmann::json file = nlohmann::json::parse(e2e::readFile(recording), nullptr, false);
    ASSERT_TRUE(file.is_object() && file.contains("udev")) << e2e::readFile(recording);
    const std::string recorded = file["udev"][0];
    EXPECT_NE(recorded.find("E: KESTREL_NAME=Velmar Application Interface\n"), std::string::npos)
        << recorded;
    stopCard();

    udevtest::UdevTestbed::defineTree("recorded-card", recorded);
    cardTree = "recorded-card";
    cardPortShift = kSecondCardPortShift;
    startCard(e2e::kOlderCard);
    const e2e::RunResult update = kestrel();
    ASSERT_FALSE(update.timedOut) << log();
    EXPECT_EQ(update.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
}

INSTANTIATE_TEST_SUITE_P(Backends, SystemBusEndToEnd, ::testing::Values(Backend::udev),
                         [](const ::testing::TestParamInfo<Backend>&) { return "udev"; });

INSTANTIATE_TEST_SUITE_P(Backends, MachineEndToEnd,
                         ::testing::Values(Backend::udev, Backend::simulated),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return info.param == Backend::udev ? "udev" : "simulated";
                         });

} // namespace
} // namespace udeve2e
