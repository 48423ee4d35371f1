#include "flasher/DeviceOperations.h"
#include "flasher/Ff.h"
#include "flasher/Library.h"
#include "SimulatedCard.h"
#include "sim/CardState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace flasher;
using testing_support::countLogged;

bool sent(const std::vector<std::string>& commands, const std::string& command) {
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

std::vector<int32_t> notified;
void keepNotification(int32_t code, int32_t, void*) {
    notified.push_back(code);
}

class DeviceInformation : public testing_support::SimulatedCard {};

TEST_F(DeviceInformation, FirmwareInformationOfAModemModeCardIsReadFieldByField) {
    // A card on the firmware of the documented "ATI" example.
    auto options = this->options();
    options.stateFile = root + "/example.state.json";
    cardsim::CardState example;
    example.revision = "3.19.0";
    example.date = "Mar 16 2010";
    example.time = "15:03:03";
    ASSERT_TRUE(cardsim::saveCardState(options.stateFile, example));
    startCard(options);
    FfInfoRecord record{};
    int32_t notNormal = 7;
    EXPECT_EQ(
        FfGetInfoDevice(L"QT0880", kFfInfoFirmware, diag.c_str(), app.c_str(), &record, &notNormal),
        kFfOk);
    EXPECT_EQ(notNormal, 0);
    EXPECT_STREQ(record.description, "Manufacturer: Velmar N.V.\r\nModel: QT0880\r\nRevision: "
                                     "3.19.0 (Date: Mar 16 2010, Time: 15:03:03)");
    EXPECT_STREQ(record.version, "3.19.0");
    EXPECT_STREQ(record.model, "QT0880");
    EXPECT_STREQ(record.lmCode, "QT0880-27315");
    EXPECT_EQ(record.year, 2010);
    EXPECT_EQ(record.month, 3);
    EXPECT_EQ(record.day, 16);
    EXPECT_EQ(record.hour, 15);
    EXPECT_EQ(record.minute, 3);
    EXPECT_EQ(record.second, 3);
    EXPECT_EQ(countLogged(L"FfGetInfoDevice"), 1u);
    EXPECT_EQ(countLogged(L"Delay %MODE 1000 ms"), 1u);
    const auto commands = card->receivedCommands();
    EXPECT_EQ(commands, (std::vector<std::string>{"AT%MODE?", "ATI", "AT_VLMC?"}));
}

TEST_F(DeviceInformation, SoftwareVersionIsRead) {
    startCard();
    FfInfoRecord record{};
    EXPECT_EQ(
        FfGetInfoDevice(nullptr, kFfInfoSoftware, diag.c_str(), app.c_str(), &record, nullptr),
        kFfOk);
    EXPECT_STREQ(record.version, "2.1.0");
}

TEST_F(DeviceInformation, WrongLmCodeIsReportedAsTheCardSaysIt) {
    auto options = this->options();
    options.faults.lmCode = "QT0880-00000";
    startCard(options);
    FfInfoRecord record{};
    EXPECT_EQ(
        FfGetInfoDevice(nullptr, kFfInfoFirmware, diag.c_str(), app.c_str(), &record, nullptr),
        kFfOk);
    EXPECT_STREQ(record.lmCode, "QT0880-00000");
}

TEST_F(DeviceInformation, CardInFactoryTestModeGivesNotNormalWithoutAti) {
    auto options = this->options();
    options.startMode = 2;
    startCard(options);
    FfInfoRecord record{};
    int32_t notNormal = 0;
    EXPECT_EQ(
        FfGetInfoDevice(nullptr, kFfInfoFirmware, diag.c_str(), app.c_str(), &record, &notNormal),
        kFfDeviceNotNormal);
    EXPECT_EQ(notNormal, 1);
    EXPECT_FALSE(sent(card->receivedCommands(), "ATI"));
    EXPECT_EQ(
        FfGetInfoDevice(nullptr, kFfInfoSoftware, diag.c_str(), app.c_str(), &record, &notNormal),
        kFfDeviceNotNormal);
    EXPECT_FALSE(sent(card->receivedCommands(), "AT_VISOV?"));
    EXPECT_EQ(FfGetInfoDevice(nullptr, 3, diag.c_str(), app.c_str(), &record, &notNormal),
              kFfUnknownInfoKind)
        << "an unknown kind is refused whatever the mode";
    EXPECT_EQ(notNormal, 1);
}

TEST_F(DeviceInformation, UnknownKindIsRefusedAfterTheModeQuery) {
    startCard();
    FfInfoRecord record{};
    EXPECT_EQ(FfGetInfoDevice(nullptr, 3, diag.c_str(), app.c_str(), &record, nullptr),
              kFfUnknownInfoKind);
    EXPECT_EQ(FfGetInfoDevice(nullptr, 0, diag.c_str(), app.c_str(), nullptr, nullptr),
              kFfUnknownInfoKind);
}

TEST_F(DeviceInformation, ErrorToAtiGivesTheRevisionWarning) {
    auto options = this->options();
    options.faults.errorCommands = {"ATI"};
    startCard(options);
    FfInfoRecord record{};
    EXPECT_EQ(
        FfGetInfoDevice(nullptr, kFfInfoFirmware, diag.c_str(), app.c_str(), &record, nullptr),
        kFfDeviceIdentityUnreadable);
    options.faults.errorCommands = {"AT_VLMC?"};
    card->setFaults(options.faults);
    EXPECT_EQ(
        FfGetInfoDevice(nullptr, kFfInfoFirmware, diag.c_str(), app.c_str(), &record, nullptr),
        kFfDeviceLmCodeUnreadable);
}

TEST_F(DeviceInformation, NoPortGivesCommandFailure) {
    FfInfoRecord record{};
    EXPECT_EQ(FfGetInfoDevice(nullptr, kFfInfoFirmware, L"", L"\\\\.\\pts/none", &record, nullptr),
              kFfCommandFailed);
}

TEST_F(DeviceInformation, ModeAnswerWithoutModeGivesResult1) {
    handlers.push_back([](cardsim::CardSimulator& sim, cardsim::Port port, const std::string&,
                          const std::string& upper) {
        if (upper != "AT%MODE?")
            return false;
        sim.reply(port, "\r\nOK\r\n");
        return true;
    });
    startCard();
    library().shareLogger();
    int32_t mode = -1;
    EXPECT_EQ(readDeviceMode(app.c_str(), diag.c_str(), mode), kModeAnswerUnreadable);
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(countLogged(L"Mode request failed, Answer: AT%MODE?\r\r\nOK\r\n"), 1u);
    EXPECT_STREQ(sharedLogger().lastError(), "Request operating mode (AT%MODE?) failed");
    EXPECT_EQ(library().lastHelperResult, 1u);
}

TEST_F(DeviceInformation, FailedModeRequestIsReportedAsACommandFailureFirst) {
    auto options = this->options();
    options.faults.errorCommands = {"AT%MODE?"};
    startCard(options);
    library().shareLogger();
    int32_t mode = -1;
    EXPECT_EQ(readDeviceMode(app.c_str(), diag.c_str(), mode), kAtError);
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(countLogged(L"Send At Command 'AT%MODE?' failed, error: 5, "), 1u);
    EXPECT_EQ(countLogged(L"Mode request failed, Error : 0x5, Send AT command 'AT%MODE?' failed: "
                          L"Send AT command 'AT%MODE?' failed."),
              1u);
    EXPECT_STREQ(sharedLogger().lastError(), "Request operating mode (AT%MODE?) failed");
    EXPECT_EQ(library().lastHelperResult, static_cast<uint32_t>(kAtError));
}

TEST_F(DeviceInformation, ModeChangeLeavesTheBusAndComesBackInTheNewMode) {
    startCard();
    library().shareLogger();
    const int generation = card->presence().generation;
    EXPECT_EQ(setDeviceMode(app.c_str(), diag.c_str(), kFfModeLoader), 0);
    EXPECT_TRUE(sent(card->receivedCommands(), "AT%MODE=1"));
    ASSERT_TRUE(awaitReturn(generation));
    int32_t mode = -1;
    EXPECT_EQ(readDeviceMode(app.c_str(), diag.c_str(), mode), 0);
    EXPECT_EQ(mode, kFfModeLoader);
}

TEST_F(DeviceInformation, ModeChangeThatResetsWithoutAnsweringCountsAsDone) {
    auto options = this->options();
    options.faults.noModeAnswer = true;
    startCard(options);
    library().shareLogger();
    const int generation = card->presence().generation;
    EXPECT_EQ(setDeviceMode(app.c_str(), diag.c_str(), kFfModeLoader), 0);
    EXPECT_EQ(countLogged(L"Mode Change failed, applied workaround in factory test. Send At "
                          L"Command: AT%MODE=1 failed, error: 3"),
              1u);
    ASSERT_TRUE(awaitReturn(generation));
    int32_t mode = -1;
    EXPECT_EQ(readDeviceMode(app.c_str(), diag.c_str(), mode), 0);
    EXPECT_EQ(mode, kFfModeLoader);
}

TEST_F(DeviceInformation, CbcSettingsAreReadInLoaderMode) {
    auto options = this->options();
    options.startMode = kFfModeLoader;
    startCard(options);
    library().shareLogger();
    EXPECT_EQ(loadCbcSettings(app.c_str(), diag.c_str()), kFfOk);
    const uint8_t expected[] = {1, 1, 1, 1, 0};
    EXPECT_EQ(std::memcmp(library().cbcSettings, expected, sizeof expected), 0);
    EXPECT_EQ(card->presence().generation, 1) << "a card already in loader mode stays";
}

TEST_F(DeviceInformation, CbcAnswerWithoutSettingsGives4AndClearsTheBytes) {
    handlers.push_back([](cardsim::CardSimulator& sim, cardsim::Port port, const std::string&,
                          const std::string& upper) {
        if (upper != "AT%ICBC")
            return false;
        sim.reply(port, "\r\n%ICBC: 1, 0\r\nOK\r\n");
        return true;
    });
    auto options = this->options();
    options.startMode = kFfModeLoader;
    startCard(options);
    library().shareLogger();
    std::memset(library().cbcSettings, 9, sizeof library().cbcSettings);
    uint8_t settings[kCbcValueCount] = {};
    EXPECT_EQ(readDeviceCbcSettings(diag.c_str(), app.c_str(), settings), kCbcAnswerUnreadable);
    EXPECT_EQ(loadCbcSettings(app.c_str(), diag.c_str()), kFfCommandFailed);
    const uint8_t cleared[kCbcValueCount] = {};
    EXPECT_EQ(std::memcmp(library().cbcSettings, cleared, sizeof cleared), 0);
    EXPECT_EQ(countLogged(L"Error getting cbc settings, error : 0x4, "), 1u);
}

TEST_F(DeviceInformation, EnsureModemModeBringsALoaderModeCardBack) {
    auto options = this->options();
    options.startMode = kFfModeLoader;
    startCard(options);
    library().shareLogger();
    notified.clear();
    const int generation = card->presence().generation;
    EXPECT_EQ(ensureModemMode(app.c_str(), diag.c_str(), keepNotification, nullptr), kFfOk);
    EXPECT_EQ(notified, std::vector<int32_t>{kFfProgressModeSwitch});
    ASSERT_TRUE(awaitReturn(generation));
    EXPECT_EQ(card->stateSnapshot().mode, kFfModeModem);
    // A modem-mode card is left alone.
    EXPECT_EQ(ensureModemMode(app.c_str(), diag.c_str(), nullptr, nullptr), kFfOk);
    EXPECT_EQ(card->presence().generation, generation + 1);
}

TEST(CompareInfo, TimeStampsCompareByTheFirstDifferingField) {
    FfInfoRecord a{};
    FfInfoRecord b{};
    a.year = b.year = 2010;
    a.month = b.month = 3;
    a.day = b.day = 16;
    a.hour = b.hour = 15;
    a.minute = b.minute = 3;
    a.second = 3;
    b.second = 45;
    int32_t difference = 0;
    int32_t valid = 0;
    EXPECT_EQ(FfCompareInfo(kFfCompareTimeStamp, &a, &b, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, 42);
    EXPECT_EQ(valid, 1);
    b.month = 1;
    EXPECT_EQ(FfCompareInfo(kFfCompareTimeStamp, &a, &b, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, -2);
    EXPECT_EQ(FfCompareInfo(kFfCompareTimeStamp, &a, &a, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, 0);
}

TEST(CompareInfo, FarApartValuesKeepTheSignOfTheirDifference) {
    FfInfoRecord a{};
    FfInfoRecord b{};
    a.year = -2000000000;
    b.year = 2000000000;
    int32_t difference = 0;
    int32_t valid = 0;
    EXPECT_EQ(FfCompareInfo(kFfCompareTimeStamp, &a, &b, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, INT32_MAX);
    EXPECT_EQ(FfCompareInfo(kFfCompareTimeStamp, &b, &a, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, INT32_MIN);
    std::strcpy(a.version, "-2000000000");
    std::strcpy(b.version, "2000000000");
    EXPECT_EQ(FfCompareInfo(kFfCompareVersion, &a, &b, &difference, &valid), kFfOk);
    EXPECT_GT(difference, 0);
}

TEST(CompareInfo, VersionsCompareByMajorMinorPatch) {
    FfInfoRecord a{};
    FfInfoRecord b{};
    std::strcpy(a.version, "3.19.0");
    std::strcpy(b.version, "3.20");
    int32_t difference = 0;
    int32_t valid = 0;
    EXPECT_EQ(FfCompareInfo(kFfCompareVersion, &a, &b, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, 1);
    EXPECT_EQ(valid, 1);
    EXPECT_EQ(FfCompareInfo(kFfCompareVersion, &a, &a, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, 0);
    std::strcpy(b.version, "3.19.7");
    EXPECT_EQ(FfCompareInfo(kFfCompareVersion, &a, &b, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, 7);
    std::strcpy(b.version, "2");
    EXPECT_EQ(FfCompareInfo(kFfCompareVersion, &a, &b, &difference, &valid), kFfOk);
    EXPECT_EQ(difference, -1);
    // A version field without its terminator is read within the field only.
    std::memset(b.version, '9', sizeof b.version);
    EXPECT_EQ(FfCompareInfo(kFfCompareVersion, &a, &b, &difference, &valid), kFfOk);
}

TEST(CompareInfo, UnknownKindIsRefusedAndLeavesTheOutValues) {
    FfInfoRecord a{};
    int32_t difference = 55;
    int32_t valid = 66;
    EXPECT_EQ(FfCompareInfo(2, &a, &a, &difference, &valid), kFfUnknownComparison);
    EXPECT_EQ(difference, 55);
    EXPECT_EQ(valid, 66);
    EXPECT_STREQ(library().lastError(), "ERROR:Unknown comparison type\n");
}

} // namespace
