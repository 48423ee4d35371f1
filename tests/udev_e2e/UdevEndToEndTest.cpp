#include "UdevMachine.h"

#include "tests/support/RegistryRecord.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace udeve2e {
namespace {

constexpr const char* kProgrammingError = "ERROR: flash write failed";
constexpr int32_t kFlashProgrammingFailed = 0x20000001;
// Arrivals of a whole update: plugged, back in loader mode, back after the reset.
constexpr int kLoaderArrival = 2;
constexpr int kReturnArrival = 3;
// A link slow enough at the tests' time scale that a signal lands mid-download.
constexpr uint64_t kSlowLinkBytesPerSecond = 200000;
constexpr int kBlocksBeforeSignal = 3;
constexpr auto kSignalWait = std::chrono::seconds(60);
constexpr auto kSignalPoll = std::chrono::milliseconds(5);

std::string recordOf(const std::string& registry, const std::string& version) {
    return testsupport::registryValue(registry, testsupport::kQt0880RecordKey, version);
}

class UdevEndToEnd : public UdevMachine {
protected:
    // The unit runs again and ModemManager has the card back: what every run leaves behind.
    void expectMachineRestored() {
        EXPECT_EQ(unitState(), "active") << bus->systemdState().dump();
        EXPECT_TRUE(unitStoppedThenStarted()) << bus->systemdState().dump();
        EXPECT_FALSE(inhibited()) << modemManager().dump();
        // Released by Kestrel itself, not only dropped when it left the bus.
        EXPECT_EQ(inhibitCalls(false), inhibitCalls(true)) << modemManager().dump();
    }
    // Whether the card was inhibited at each of these arrivals.
    bool inhibitedAt(std::initializer_list<int> generations) {
        std::lock_guard<std::mutex> guard(arrivalMutex);
        for (int generation : generations) {
            bool seen = false;
            for (const auto& [arrival, held] : inhibitedAtArrival)
                if (arrival == generation)
                    seen = held;
            if (!seen)
                return false;
        }
        return true;
    }
    // Sends SIGTERM once the loader has taken a few blocks, from a thread of its own.
    std::thread terminateMidDownload(bool& sent) {
        return std::thread([this, &sent] {
            const auto deadline = std::chrono::steady_clock::now() + kSignalWait;
            while (loader->record().acceptedBlocks < kBlocksBeforeSignal &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(kSignalPoll);
            sent = loader->record().acceptedBlocks >= kBlocksBeforeSignal && signalUpdater(SIGTERM);
        });
    }
};

TEST_F(UdevEndToEnd, OlderFirmwareIsFlashedWhileModemManagerLeavesTheCardAloneThroughout) {
    startModemManager();
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos) << cardState();
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    EXPECT_EQ(cardBus->arrivals(), kReturnArrival);
    EXPECT_TRUE(inhibitedAt({kLoaderArrival, kReturnArrival}))
        << "released before the card came back";
    EXPECT_EQ(inhibitCalls(true), 1) << modemManager().dump();
    EXPECT_EQ(inhibitCalls(false), 1) << modemManager().dump();
    const std::string text = log();
    EXPECT_NE(text.find(std::string("Inhibited ModemManager for ") + kCardSysfsPath),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("Released ModemManager for ") + kCardSysfsPath),
              std::string::npos);
    expectMachineRestored();
}

TEST_F(UdevEndToEnd, HeadlessUpdaterFlashesTheCardOnTheSameBackend) {
    startModemManager();
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = this->run(KESTREL_HEADLESS, {});
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.exitStatus, 0) << run.text();
    EXPECT_EQ(run.value("result"), "0") << run.text();
    EXPECT_EQ(run.value("exit"), "0");
    EXPECT_EQ(run.value("firmware"), "previous=3.18.2 current=3.19.0");
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    EXPECT_TRUE(inhibitedAt({kLoaderArrival, kReturnArrival}));
    expectMachineRestored();
}

TEST_F(UdevEndToEnd, CardThatNeverReturnsFromTheModeChangeEndsWith277) {
    startModemManager();
    awayFrom = kLoaderArrival;
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(codeFile(), "277\n") << log();
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(registry(), "") << "a failed update writes no record";
    EXPECT_EQ(inhibitCalls(false), 1) << modemManager().dump();
    expectMachineRestored();
}

TEST_F(UdevEndToEnd, ProgrammingErrorPassesTheFlashingCodeThroughAndReleasesTheCard) {
    startModemManager();
    cardsim::LoaderOptions options;
    options.faults.programmingError = kProgrammingError;
    startCard(e2e::kOlderCard, options);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(codeFile(), std::to_string(kFlashProgrammingFailed) + "\n") << log();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(registry(), "");
    expectMachineRestored();
}

TEST_F(UdevEndToEnd, CardUnpluggedMidDownloadFailsTheUpdateAndReleasesTheCard) {
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
    EXPECT_EQ(inhibitCalls(false), 1) << modemManager().dump();
    expectMachineRestored();
}

TEST_F(UdevEndToEnd, WithoutModemManagerTheUpdateRunsAndSaysSoOnce) {
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
    EXPECT_EQ(unitState(), "active");
    EXPECT_TRUE(unitStoppedThenStarted());
}

TEST_F(UdevEndToEnd, CardAnotherProgramInhibitedIsRefusedWith262AndKeepsThatInhibition) {
    const std::string otherProgram = ":1.999";
    startModemManager({{"inhibited_by", otherProgram}});
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(codeFile(), "262\n") << log();
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(cardState().find("\"revision\": \"3.18.2\""), std::string::npos) << cardState();
    EXPECT_EQ(cardBus->arrivals(), 1) << "the card was not touched";
    EXPECT_EQ(modemManager()["inhibited"].value(kModemUid, std::string()), otherProgram);
    EXPECT_EQ(inhibitCalls(false), 0) << "another program's inhibition is not Kestrel's to end";
    EXPECT_EQ(registry(), "");
    EXPECT_EQ(unitState(), "active");
}

TEST_F(UdevEndToEnd, SigtermMidDownloadReleasesTheCardAndASecondRunRecoversIt) {
    startModemManager();
    cardsim::LoaderOptions options;
    options.bytesPerSecond = kSlowLinkBytesPerSecond;
    startCard(e2e::kOlderCard, options);
    bool sent = false;
    std::thread signaller = terminateMidDownload(sent);
    const e2e::RunResult first = kestrel();
    signaller.join();
    ASSERT_TRUE(sent) << log();
    ASSERT_FALSE(first.timedOut) << log();
    EXPECT_EQ(first.exitStatus, 1) << log();
    EXPECT_EQ(codeFile(), "1223\n");
    EXPECT_EQ(registry(), "");
    expectMachineRestored();

    // The card stayed in loader mode with half an image: the next run flashes it from there
    // (265), and the unattended run repeats the update on the recovered card.
    const e2e::RunResult second = kestrel();
    ASSERT_FALSE(second.timedOut) << log();
    EXPECT_EQ(second.exitStatus, 0) << log();
    EXPECT_EQ(codeFile(), "0\n") << log();
    EXPECT_NE(log().find("Recovery update complete (error 265)"), std::string::npos);
    // The repeat keeps the run's firmware flag of the recovery flash: recorded as flashed.
    EXPECT_EQ(recordOf(registry(), "3.19.0"), "dword:00000001") << registry();
    EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos) << cardState();
    EXPECT_EQ(inhibitCalls(true), 2) << modemManager().dump();
    expectMachineRestored();
}

} // namespace
} // namespace udeve2e
