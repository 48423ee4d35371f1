// FfPreFlash and FfFlash against the simulated card with its loader.

#include "FlashTestSupport.h"

#include "flasher/AtEngine.h"
#include "flasher/DownloadMessages.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <iterator>
#include <numeric>

using namespace flashtest;
using packagetest::embeddedPackage;

namespace {

uint32_t crcOf(const uint8_t* data, size_t size) {
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), data, static_cast<uInt>(size)));
}

// The values of code 101 after the `phaseIndex`-th code 100 and before the next non-101 code.
std::vector<int32_t> advancesOfPhase(const std::vector<Notification>& seen, int phaseIndex) {
    std::vector<int32_t> values;
    int phases = -1;
    bool inside = false;
    for (const Notification& n : seen) {
        if (n.code == 100) {
            inside = ++phases == phaseIndex;
            continue;
        }
        if (n.code != 101)
            inside = false;
        else if (inside)
            values.push_back(n.value);
    }
    return values;
}

using FlashingTest = FlashingCard;

TEST_F(FlashingTest, EmbeddedPackageFlashesWithTheDocumentedNotifications) {
    startFlashingCard(1, loaderOptions());
    ASSERT_EQ(preFlash(), 0u);
    EXPECT_EQ(notifications.codes(), std::vector<int32_t>{2});
    notifications.seen.clear();
    const int generation = card->presence().generation;

    const tools::Bytes& pck = embeddedPackage();
    ASSERT_EQ(flash(pck), 0u) << lastError();

    const auto& seen = notifications.seen;
    ASSERT_GE(seen.size(), 4u + 54 + 3);
    EXPECT_EQ(seen[0], (Notification{1, 0}));
    EXPECT_EQ(seen[1], (Notification{7, 0}));
    EXPECT_EQ(seen[2], (Notification{100, phase(20, 54)}));
    for (size_t i = 0; i < 54; ++i)
        EXPECT_EQ(seen[3 + i], (Notification{101, 1})) << i;
    EXPECT_EQ(seen[57], (Notification{12, 0}));
    EXPECT_EQ(seen[58], (Notification{100, phase(80, 100)}));
    const std::vector<int32_t> programming = advancesOfPhase(seen, 1);
    ASSERT_FALSE(programming.empty());
    EXPECT_EQ(std::accumulate(programming.begin(), programming.end(), 0), 100);
    for (int32_t value : programming)
        EXPECT_GT(value, 0);
    // One 101 per programming message that carried progress.
    EXPECT_EQ(seen.size(), 59 + programming.size() + 1);
    EXPECT_EQ(seen.back(), (Notification{11, 0}));

    const cardsim::LoaderRecord record = loader->record();
    EXPECT_EQ(record.startDownloads, 1);
    EXPECT_EQ(record.blockSize, 65276);
    EXPECT_EQ(record.acceptedBlocks, 54);
    ASSERT_EQ(record.blockSizes.size(), 54u);
    EXPECT_EQ(record.blockSizes.front(), 65276u);
    EXPECT_EQ(record.blockSizes.back(), 11844u);
    EXPECT_EQ(record.badChecksumFrames, 0);
    EXPECT_EQ(record.imageCrc, crcOf(pck.data() + packagetest::kEmbeddedImageOffset,
                                     packagetest::kEmbeddedImageSize));
    EXPECT_TRUE(record.identityApplied) << record.lastProblem;

    // The card resets into the flashed firmware, in modem mode.
    ASSERT_TRUE(awaitReturn(generation));
    const cardsim::CardState state = card->stateSnapshot();
    EXPECT_EQ(state.mode, 0);
    EXPECT_EQ(state.revision, "3.19.0");
    EXPECT_EQ(state.date, "Mar 16 2010");
    EXPECT_EQ(state.time, "15:03:03");
    EXPECT_EQ(state.softwareVersion, "2.8.1");
    FfInfoRecord device{};
    ASSERT_EQ(FfGetInfoDevice(L"QT0880", 0, diag.c_str(), app.c_str(), &device, nullptr), 0u);
    FfInfoRecord offered{};
    ASSERT_EQ(FfGetInfoPck(L"QT0880", 0, pck.data(), static_cast<uint32_t>(pck.size()), &offered),
              0u);
    int32_t difference = -1, valid = 0;
    ASSERT_EQ(FfCompareInfo(1, &device, &offered, &difference, &valid), 0u);
    EXPECT_EQ(difference, 0) << "the card now runs the package's firmware";
}

TEST_F(FlashingTest, PreFlashFromModemModeSwitchesToLoaderAndThenReportsIt) {
    startFlashingCard(0, loaderOptions());
    const int generation = card->presence().generation;
    EXPECT_EQ(preFlash(), 0x10000003u);
    EXPECT_EQ(notifications.codes(), (std::vector<int32_t>{2, 11}));
    ASSERT_TRUE(awaitReturn(generation));
    EXPECT_EQ(card->stateSnapshot().mode, 1);
    notifications.seen.clear();
    EXPECT_EQ(preFlash(), 0u);
    EXPECT_EQ(notifications.codes(), std::vector<int32_t>{2});
}

TEST_F(FlashingTest, PreFlashRefusesModeThree) {
    startFlashingCard(3, loaderOptions());
    EXPECT_EQ(preFlash(), 0x20000007u);
}

TEST_F(FlashingTest, PreFlashWithoutDeviceCannotReadTheMode) {
    EXPECT_EQ(FfPreFlash(L"QT0880", L"", L"", nullptr, nullptr), 0x2000004Eu);
}

TEST_F(FlashingTest, FlashWithoutPreFlashDownloadsNothing) {
    startFlashingCard(1, loaderOptions());
    EXPECT_EQ(flash(smallFlashPackage()), 0u);
    EXPECT_EQ(loader->record().startDownloads, 0);
    EXPECT_EQ(notifications.codes(), (std::vector<int32_t>{1, 11}));
}

TEST_F(FlashingTest, StartDownloadRejectionsAreRetriedUpToTheFiftieth) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.rejectStartDownload = 49;
    startInLoaderMode(options);
    EXPECT_EQ(flash(smallFlashPackage()), 0u) << lastError();
    EXPECT_EQ(loader->record().startDownloads, 50);
}

TEST_F(FlashingTest, BlockRejectionsAreRetriedUpToTheFiftieth) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.rejectBlock = 2;
    options.faults.rejectBlockTimes = 49;
    startInLoaderMode(options);
    const tools::Bytes pck = smallFlashPackage(200000);
    EXPECT_EQ(flash(pck), 0u) << lastError();
    const cardsim::LoaderRecord record = loader->record();
    EXPECT_EQ(record.acceptedBlocks, 4);
    EXPECT_EQ(record.dataFrames, 4 + 49);
    EXPECT_EQ(record.imageCrc, crcOf(pck.data() + packagetest::kEmbeddedImageOffset, 200064));
}

// A refusal counts whatever status the loader gives it: 0x09, or one this library does not know.
class FlashingRefusal : public FlashingCard, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(FlashingRefusal, FiftiethStartDownloadRejectionFails) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.rejectStartDownload = 50;
    options.faults.rejectStatus = GetParam();
    startInLoaderMode(options);
    EXPECT_EQ(flash(smallFlashPackage()), 0x2000004Du);
    EXPECT_EQ(lastError(), "Transmission error\n");
    EXPECT_EQ(loader->record().startDownloads, 50);
    EXPECT_EQ(loader->record().acceptedBlocks, 0);
}

TEST_P(FlashingRefusal, FiftiethBlockRejectionFails) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.rejectBlock = 1;
    options.faults.rejectBlockTimes = 50;
    options.faults.rejectStatus = GetParam();
    startInLoaderMode(options);
    EXPECT_EQ(flash(smallFlashPackage()), 0x2000004Du);
    EXPECT_EQ(lastError(), "Block rejected 5 times.\n");
    EXPECT_EQ(loader->record().dataFrames, 50);
}

INSTANTIATE_TEST_SUITE_P(Statuses, FlashingRefusal, ::testing::Values(0x09, 0x02),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                             return info.param == 0x09 ? "SendAgain" : "UnknownStatus";
                         });

TEST_F(FlashingTest, TransmissionTimeoutAtABlockFails) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.timeoutAtBlock = 2;
    startInLoaderMode(options);
    EXPECT_EQ(flash(smallFlashPackage(200000)), 0x2000004Du);
    EXPECT_EQ(lastError(), "Transmission timeout error, device resets\n");
    EXPECT_EQ(loader->record().acceptedBlocks, 1);
}

TEST_F(FlashingTest, ImageTooBigForTheDeviceIsAFormatError) {
    cardsim::LoaderOptions options = loaderOptions();
    options.memorySize = 1000;
    startInLoaderMode(options);
    EXPECT_EQ(flash(smallFlashPackage(5000)), 0x20000028u);
    EXPECT_EQ(lastError(), "File size in header block too big, not enought memory available");
}

TEST_F(FlashingTest, DeviceUnpluggedDuringTheTransferFailsWithoutHanging) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.unplugAtBlock = 2;
    startInLoaderMode(options);
    const uint64_t started = platform::tickMs();
    EXPECT_EQ(flash(smallFlashPackage(200000)), 0x2000004Du);
    EXPECT_LT(platform::tickMs() - started, 60000u);
}

// The card answers every frame within 30 s: one whole answer time of silence ends the wait,
// where the read count alone would hold the update for 50 times as long.
constexpr uint64_t kAnswerTimeMs = 30000;
constexpr uint64_t kSilenceSlackMs = 20000;

TEST_F(FlashingTest, SilentDeviceEndsTheBlockWaitAfterOneAnswerTime) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.silentAtBlock = 2;
    startInLoaderMode(options);
    const uint64_t started = platform::tickMs();
    EXPECT_EQ(flash(smallFlashPackage(200000)), 0x2000004Du);
    const uint64_t elapsed = platform::tickMs() - started;
    EXPECT_EQ(lastError(), "Send data block: no answer within 30 seconds");
    EXPECT_GE(elapsed, kAnswerTimeMs);
    EXPECT_LT(elapsed, kAnswerTimeMs + kSilenceSlackMs);
    EXPECT_EQ(loader->record().acceptedBlocks, 1);
    EXPECT_EQ(loader->record().dataFrames, 2) << "silence is no rejection: nothing is resent";
}

TEST_F(FlashingTest, SilentDeviceEndsTheStartDownloadWaitAfterOneAnswerTime) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.silentAtStartDownload = true;
    startInLoaderMode(options);
    const uint64_t started = platform::tickMs();
    EXPECT_EQ(flash(smallFlashPackage()), 0x2000004Du);
    const uint64_t elapsed = platform::tickMs() - started;
    EXPECT_EQ(lastError(), "Send StartDownload request: 5 tries without answer");
    EXPECT_GE(elapsed, kAnswerTimeMs);
    EXPECT_LT(elapsed, kAnswerTimeMs + kSilenceSlackMs);
    EXPECT_EQ(loader->record().startDownloads, 1);
    EXPECT_EQ(loader->record().dataFrames, 0);
}

TEST_F(FlashingTest, NoisyDeviceEndsTheBlockWaitAfterFiftyReads) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.noiseAtBlock = 2;
    options.noiseIntervalMs = 100;
    startInLoaderMode(options);
    const uint64_t started = platform::tickMs();
    EXPECT_EQ(flash(smallFlashPackage(200000)), 0x2000004Du);
    EXPECT_EQ(lastError(), "Send data block: 50 reads without answer");
    EXPECT_LT(platform::tickMs() - started, kAnswerTimeMs) << "each read got bytes: no silence";
    EXPECT_EQ(loader->record().dataFrames, 2) << "stray bytes are no rejection";
}

TEST_F(FlashingTest, StrayByteBeforeAnAcceptedAnswerDoesNotResendTheBlock) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.strayByteAtBlock = 2;
    startInLoaderMode(options);
    const tools::Bytes pck = smallFlashPackage(200000);
    EXPECT_EQ(flash(pck), 0u) << lastError();
    const cardsim::LoaderRecord record = loader->record();
    EXPECT_EQ(record.acceptedBlocks, 4);
    EXPECT_EQ(record.dataFrames, 4);
    EXPECT_EQ(record.imageCrc, crcOf(pck.data() + packagetest::kEmbeddedImageOffset, 200064));
    EXPECT_EQ(advancesOfPhase(notifications.seen, 0), (std::vector<int32_t>{1, 1, 1, 1}));
}

TEST_F(FlashingTest, CancelStopsTheDownloadBetweenBlocksAndEveryLaterFlashingCall) {
    startInLoaderMode(loaderOptions());
    // Cancelled from the callback of the first accepted block, as another thread would.
    struct CancelAfterFirstBlock {
        static void callback(int32_t code, int32_t value, void* context) {
            Notifications::callback(code, value, context);
            if (code == kFfProgressPhaseAdvance)
                FfCancel();
        }
    };
    const tools::Bytes pck = smallFlashPackage(200000);
    const FfResult result = FfFlash(L"QT0880", diag.c_str(), app.c_str(), true, false, pck.data(),
                                    static_cast<uint32_t>(pck.size()),
                                    &CancelAfterFirstBlock::callback, &notifications);
    EXPECT_EQ(result, kFfCancelled);
    EXPECT_EQ(lastError(), "Download cancelled\n");
    const cardsim::LoaderRecord record = loader->record();
    EXPECT_EQ(record.dataFrames, 1) << "whole frames only: the next block is never started";
    EXPECT_EQ(record.acceptedBlocks, 1);

    EXPECT_EQ(preFlash(), kFfCancelled);
    EXPECT_EQ(postFlash("<script></script>"), kFfCancelled);
    EXPECT_EQ(loader->record().dataFrames, 1);

    FfInitialise(0, nullptr, 0);
    EXPECT_EQ(preFlash(), 0u) << "a new session of the library flashes again";
}

TEST_F(FlashingTest, OddFinalBlockIsPaddedWithAZeroByte) {
    startInLoaderMode(loaderOptions());
    const tools::Bytes pck = smallFlashPackage(65276 + 101); // a final block of 101 bytes
    ASSERT_EQ(flash(pck), 0u) << lastError();
    const cardsim::LoaderRecord record = loader->record();
    ASSERT_EQ(record.blockSizes.size(), 2u);
    EXPECT_EQ(record.blockSizes[1], 102u) << "101 image bytes and the padding";
    EXPECT_EQ(record.badChecksumFrames, 0) << "the XOR-16 covers the padding byte";
    EXPECT_EQ(record.imageCrc,
              crcOf(pck.data() + packagetest::kEmbeddedImageOffset, 64 + 65276 + 101));
}

TEST_F(FlashingTest, WrongWrappedHeaderChecksumSendsNothing) {
    tools::Bytes image = packagetest::smallImage(300);
    image[20] ^= 0x01;
    const tools::Bytes pck = packagetest::package({packagetest::imageFile(image)});
    startInLoaderMode(loaderOptions());
    EXPECT_EQ(flash(pck), 0x20010001u);
    EXPECT_EQ(lastError(), "Wrong wrapped header CheckSum");
    EXPECT_EQ(loader->record().startDownloads, 0);
}

TEST_F(FlashingTest, BrokenPackageIsAFormatError) {
    tools::Bytes pck = smallFlashPackage();
    pck[pck.size() - 3] ^= 0x40;
    startInLoaderMode(loaderOptions());
    EXPECT_EQ(flash(pck), 0x20000028u);
    EXPECT_EQ(loader->record().startDownloads, 0);
}

TEST_F(FlashingTest, EachProgrammingErrorTextFailsTheProgramming) {
    // What the device sends, what the library logs and what it gives as its last error.
    const struct {
        const char* key;
        const char* logText;
        const char* lastError;
    } errors[] = {
        {"No platform configuration available", "No platform configuration available",
         "No platform configuration available"},
        {"Invalid platform configuration data", "Invalid platform configuration data",
         "Invalid platform configuration data"},
        {"Update is not allowed for this firmware", "Update is not allowed for this firmware",
         "Update is not allowed for this firmware"},
        {"Invalid CBC header data", "Invalid CBC header data, download not allowed",
         "Invalid CBC header data, download not allowed"},
        {"Incompatible archive version", "Incompatible archive version, download not allowed.",
         "Incompatible archive version, download not allowed."},
        {"Incompatible supported platform",
         "Incompatible supported platform, the fw is prepared for other device type.",
         "Incompatible supported platform, the fw is prepared for other device type.\n"},
        {"PCID Authentication Failed",
         "PCID Authentication Failed, the file and the device does not fit.",
         "PCID Authentication Failed, the file and the device does not fit"},
        {"ARCH RSA Authentication Failed",
         "ARCH RSA Signature authentication Failed, be sure you have the correct FW in your "
         "device",
         "ARCH RSA Signature authentication Failed, be sure you have the correct FW in your "
         "device"},
        {"No customization file available",
         "No customization file available, update the proper custom config first.",
         "No customization file available, update the proper custom config first."},
        {"ARCH IMEI file already present.",
         "ARCH IMEI file already present, no way to overwrite a valid imei file.",
         "Valid IMEI already present, no way to overwrite a valid imei."},
        {"Update is not M18 Flash compatible.",
         "ERROR: Try to update M18 device with not M18 fw, abort.",
         "Firmware and Hardware are not compatible please use an up-to-datefirmware with M18 "
         "flashes support."},
    };
    EXPECT_EQ(std::size(errors), flasher::kProgrammingErrorCount)
        << "every error text the library knows has its case here";
    startFlashingCard(1, loaderOptions());
    const tools::Bytes pck = smallFlashPackage(2000);
    for (const auto& error : errors) {
        cardsim::LoaderFaults faults;
        faults.programmingError = std::string("ERR: ") + error.key;
        loader->setFaults(faults);
        ASSERT_EQ(preFlash(), 0u);
        testing_support::clearLog();
        EXPECT_EQ(flash(pck), 0x20000001u) << error.key;
        EXPECT_NE(lastError().find(error.lastError), std::string::npos)
            << error.key << ": " << lastError();
        EXPECT_GE(testing_support::countLogged(testing_support::wide(error.logText)), 1u)
            << error.key;
    }
}

TEST_F(FlashingTest, CardThatNeverComesBackStillEndsTheFlash) {
    cardsim::LoaderOptions options = loaderOptions();
    options.faults.noComeBack = true;
    startInLoaderMode(options);
    const int generation = card->presence().generation;
    EXPECT_EQ(flash(smallFlashPackage()), 0u);
    EXPECT_TRUE(card->waitForDeparture(generation, 20000));
    EXPECT_FALSE(card->waitForArrival(generation, 3000));
}

// The programming reads wait whole seconds, so several lines share one text, and an accepted
// text is gone: the latest number counts, also beside a cross-boot-check line, and the gauge
// ends where the device says it is.
TEST(ProgrammingMessages, ProgressThatSharesATextWithOtherLinesStillCounts) {
    Notifications seen;
    flasher::AtEngine engine;
    engine.setProgrammingMode(&Notifications::callback, &seen, flasher::handleProgrammingMessage);
    flasher::library().lastProgressMessage = 0;
    EXPECT_TRUE(
        flasher::handleProgrammingMessage(engine, "%PROG: 10\r\n%PROG: 50\r\n%PROG: 90\r\n"));
    EXPECT_TRUE(flasher::handleProgrammingMessage(engine, "Cross Boot Check Successful\r\n"));
    EXPECT_EQ(seen.seen, (std::vector<Notification>{{101, 90}}))
        << "a cross-boot-check line alone reports no progress";
    EXPECT_TRUE(flasher::handleProgrammingMessage(
        engine, "%PROG: 100\r\nCross Boot Check disabled on this platform\r\n"));
    EXPECT_EQ(seen.seen, (std::vector<Notification>{{101, 90}, {101, 10}}));
    engine.endProgrammingMode();
}

TEST(ProgrammingMessages, ProgressDifferencesAndErrorTexts) {
    Notifications seen;
    flasher::AtEngine engine;
    engine.setProgrammingMode(&Notifications::callback, &seen, flasher::handleProgrammingMessage);
    flasher::library().lastProgressMessage = 0;
    for (const char* text : {"%PROG: 10\r\n", "%PROG: 40\r\n", "%PROG: 100\r\n", "%PROG: 5\r\n",
                             "%PROG: 20\r\n%PROG: 60\r\n"})
        EXPECT_TRUE(flasher::handleProgrammingMessage(engine, text)) << text;
    EXPECT_EQ(seen.seen,
              (std::vector<Notification>{{101, 10}, {101, 30}, {101, 60}, {101, 5}, {101, 55}}));

    EXPECT_TRUE(
        flasher::handleProgrammingMessage(engine, "Cross Boot Check disabled on this platform"));
    EXPECT_FALSE(flasher::handleProgrammingMessage(engine, "\r\nPCID Authentication Failed\r\n"));
    EXPECT_STREQ(engine.lastError(),
                 "PCID Authentication Failed, the file and the device does not fit");
    EXPECT_FALSE(flasher::handleProgrammingMessage(engine, "Update is not M18 Flash compatible."));
    EXPECT_STREQ(engine.lastError(), "Firmware and Hardware are not compatible please use an "
                                     "up-to-datefirmware with M18 flashes support.");
    EXPECT_TRUE(flasher::handleProgrammingMessage(engine, "\r\nOK\r\n"));
    EXPECT_TRUE(flasher::handleProgrammingMessage(engine, "something else"));
    EXPECT_STREQ(engine.lastError(), "Message received from device: something else");
    engine.endProgrammingMode();
}

} // namespace
