#include "app/AppCheckThread.h"
#include "app/ErrorCodes.h"
#include "app/PackageImage.h"
#include "app/PackageInfo.h"
#include "app/StateMachine.h"
#include "app/UpdateInfo.h"
#include "platform/Clock.h"
#include "tests/support/BuiltPackage.h"
#include "tests/support/ScopedTimeScale.h"

#include "tests/support/LogCapture.h"
#include "tests/support/RecordingTraits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace Kestrel;
namespace fs = std::filesystem;

FfInfoRecord firmwareRecord(int year, int month, int day, int hour, int minute, int second,
                            const char* version) {
    FfInfoRecord record;
    std::memset(&record, 0, sizeof record);
    record.year = year;
    record.month = month;
    record.day = day;
    record.hour = hour;
    record.minute = minute;
    record.second = second;
    std::strncpy(record.version, version, sizeof record.version - 1);
    return record;
}

TEST(DeviceInformationWarnings, LmCodeWarningBecomesSuccessWithAnEmptyLmCode) {
    FfInfoRecord record;
    std::memset(&record, 0, sizeof record);
    std::strcpy(record.lmCode, "QT0880-27315");
    LogCapture log("kestrel.threads.check");
    EXPECT_EQ(ignoreDeviceWarnings(0x10010004, record), 0u);
    EXPECT_STREQ(record.lmCode, "");
    EXPECT_TRUE(log.contains("Ignore warning about LM code"));
    EXPECT_EQ(mapDeviceInfoResult(ignoreDeviceWarnings(0x10010004, record)), kResultOk);
}

TEST(DeviceInformationWarnings, DeviceNotInANormalModeHasAllFourBitsIgnoredInOrder) {
    FfInfoRecord record;
    std::memset(&record, 0, sizeof record);
    LogCapture log("kestrel.threads.check");
    EXPECT_EQ(ignoreDeviceWarnings(0x1001000F, record), 0u);
    const std::vector<std::string> expected = {
        "Ignore warning about LM code", "Ignore warning about product name",
        "Ignore warning about revision", "Ignore warning about time stamp"};
    EXPECT_EQ(log.messages(), expected);
}

TEST(DeviceInformationWarnings, OtherWarningBitsStayAFailureMappedTo257) {
    FfInfoRecord record;
    std::memset(&record, 0, sizeof record);
    std::strcpy(record.lmCode, "kept");
    EXPECT_EQ(ignoreDeviceWarnings(0x10010011, record), 0x10010010u);
    EXPECT_EQ(mapDeviceInfoResult(0x10010010), kResultDeviceInfoFailed);
    EXPECT_STREQ(record.lmCode, "kept") << "the LM-code bit was not set";
    // Codes outside the warning class are left alone.
    EXPECT_EQ(ignoreDeviceWarnings(0x10020004, record), 0x10020004u);
}

TEST(DeviceInformationWarnings, LibraryCodesMapToApplicationCodes) {
    const struct {
        uint32_t library;
        int32_t application;
    } rows[] = {{0, 0},
                {0x10000001, 270},
                {0x20000012, 270},
                {0x2000004E, 270},
                {0x2000004F, 270},
                {0x1000002A, 260},
                {0x20000028, 261},
                {0x20000029, 264},
                {0x2000004D, 257},
                {0x20010001, 257},
                {0x10010000, 257},
                {0xFFFFFFFF, 257}};
    for (const auto& row : rows)
        EXPECT_EQ(mapDeviceInfoResult(row.library), row.application) << std::hex << row.library;
}

TEST(ComputeHints, TimeStampsAloneDecideOlderNewerOrSame) {
    UpdateInfo info;
    info.deviceFirmware.fillFirmware(firmwareRecord(2010, 3, 16, 15, 3, 3, "3.19.0"));
    info.package.firmware.fillFirmware(firmwareRecord(2010, 3, 16, 15, 3, 3, "9.9.9"));
    info.setHint(HintBattery | HintOlder, true);
    computeHints(info);
    EXPECT_EQ(info.hints.load(), HintSame | HintBattery) << "different texts, same stamp";

    info.package.firmware.fillFirmware(firmwareRecord(2010, 3, 16, 15, 3, 4, "3.19.0"));
    computeHints(info);
    EXPECT_EQ(info.hints.load(), HintNewer | HintBattery);

    info.package.firmware.fillFirmware(firmwareRecord(2009, 12, 31, 23, 59, 59, "3.20.0"));
    computeHints(info);
    EXPECT_EQ(info.hints.load(), HintOlder | HintBattery);

    info.recovery = true;
    computeHints(info);
    EXPECT_EQ(info.hints.load(), HintBattery) << "a device in recovery gets no comparison hint";
}

TEST(CheckLmCode, EmptyUnknownAndSupportedCodesPassInAnyCase) {
    UpdateInfo info;
    for (const char* code : {"", "UNKNOWN", "unknown", "UnKnOwN", "QT0880-27315", "qt0880-27315"}) {
        info.lmCode = code;
        EXPECT_EQ(checkLmCode(info), kResultOk) << code;
    }
    LogCapture log("kestrel.threads.check");
    for (const char* code : {"QT0880-27316", "QT0880-27315 ", "UNKNOWN1", "X"}) {
        info.lmCode = code;
        EXPECT_EQ(checkLmCode(info), kResultLmCodeNotSupported) << code;
    }
    EXPECT_TRUE(log.contains("LM code 'X' is not supported"));
}

TEST(UpdateInfoLogForms, DeviceFirmwareSoftwareHintsAndUpdate) {
    UpdateInfo info;
    EXPECT_EQ(deviceLogForm(info), "(device (fw --) (sw --)), Vendor Id: 0, Product Id: 0");
    info.modelName = "QT0880";
    info.lmCode = "QT0880-27315";
    info.recovery = true;
    info.swUpdate = true;
    info.vendorId = 0x1234;
    info.productId = 0xD055;
    info.deviceFirmware.fillFirmware(firmwareRecord(2010, 1, 5, 10, 0, 0, "3.18.2"));
    info.deviceFirmware.fillFirmware(firmwareRecord(2010, 3, 16, 15, 3, 3, "3.19.0"));
    FfInfoRecord software = firmwareRecord(0, 0, 0, 0, 0, 0, "2.8.1");
    std::strcpy(software.description, "A description longer than twenty");
    info.deviceSoftware.fillSoftware(software);
    EXPECT_EQ(deviceLogForm(info),
              "(device \"vQT0880\" \"vQT0880-27315\" recovery sw-update (fw v3.19.0[v3.18.2] "
              "\"2010-03-16 15:03:03\") (sw \"v2.8.1\" \"A description lon...\")), Vendor Id: "
              "4660, Product Id: 53333");
    info.setHint(HintNewer | HintBattery, true);
    EXPECT_EQ(hintsLogForm(info.hints.load()), "(hints 1 5)");
    EXPECT_EQ(updateLogForm(info),
              "(update " + deviceLogForm(info) + " (pck (fw --) (sw --)) (hints 1 5))");
}

TEST(UpdateInfoLogForms, TimeStampOfExtremeValuesIsPrintedWhole) {
    VersionInfo firmware;
    firmware.fillFirmware(
        firmwareRecord(INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, "1.0.0"));
    EXPECT_EQ(firmware.detail, "-2147483648--2147483648--2147483648 -2147483648:-2147483648:"
                               "-2147483648");
}

class PackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(testsupport::builtPackageBytes().empty()) << "the build's package is missing";
        char pattern[] = "/tmp/kestrel-package-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        PackageImage::setModuleDirectory(folder.string());
        PackageImage::setEmbeddedLookup(&testsupport::builtPackageLookup);
    }
    void TearDown() override {
        PackageImage::setModuleDirectory("");
        PackageImage::setEmbeddedLookup(nullptr);
        std::error_code error;
        fs::remove_all(folder, error);
    }
    fs::path folder;
};

TEST_F(PackageTest, EmbeddedPackageIsUsedInPlaceAndNotFreed) {
    PackageImage image;
    EXPECT_EQ(image.size(), -1);
    ASSERT_EQ(image.load(), kResultOk);
    EXPECT_EQ(image.data(), testsupport::builtPackageBytes().data())
        << "no copy of the embedded package";
    EXPECT_EQ(image.size(), static_cast<int64_t>(testsupport::builtPackageBytes().size()));
    EXPECT_TRUE(image.borrowed());
    image.release();
    EXPECT_EQ(image.data(), nullptr);
    EXPECT_EQ(image.size(), -1);
}

TEST_F(PackageTest, PackageFileBesideTheExecutableWinsAndIsOwnedWithATerminator) {
    std::ofstream(folder / "notes.txt") << "not a package";
    std::ofstream(folder / "Other.PCK") << "abc";
    PackageImage image;
    ASSERT_EQ(image.load(), kResultOk);
    EXPECT_FALSE(image.borrowed());
    ASSERT_EQ(image.size(), 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()), 3), "abc");
    EXPECT_EQ(image.data()[3], 0) << "one byte more than the file, set to 0";
}

TEST_F(PackageTest, NeitherFileNorEmbeddedPackageGives0x80000000) {
    PackageImage::setEmbeddedLookup(nullptr);
    fs::create_directories(folder / "folder.pck"); // a folder is not a package file
    PackageImage image;
    EXPECT_EQ(image.load(), kResultNoPackage);
    EXPECT_EQ(image.size(), -1);
    PackageInfoData data;
    EXPECT_EQ(PackageInfo::read(L"KsFirmware.pck", 0, data), kResultNoPackage);
    EXPECT_TRUE(data.path.empty());
}

TEST_F(PackageTest, EmbeddedPackageReadsFirmwareWithoutSoftware) {
    PackageInfoData data;
    LogCapture log("kestrel.app.info.package");
    ASSERT_EQ(PackageInfo::read(L"KsFirmware.pck", 0, data), kResultOk);
    EXPECT_EQ(data.path, L"KsFirmware.pck");
    EXPECT_TRUE(data.firmware.valid);
    EXPECT_EQ(data.firmware.version.current(), "3.19.0");
    EXPECT_EQ(data.firmware.detail, "2010-03-16 15:03:03");
    EXPECT_FALSE(data.software.valid);
    EXPECT_TRUE(log.contains("Get package info from KsFirmware.pck"));
    EXPECT_TRUE(log.contains("No software found, ignore error"));
}

TEST_F(PackageTest, BrokenPackageFilePassesTheLibraryCodeThrough) {
    std::ofstream(folder / "Broken.pck") << "this is not a firmware package";
    PackageInfoData data;
    LogCapture log("kestrel.app.info.package");
    const int32_t result = PackageInfo::read(L"KsFirmware.pck", 0, data);
    EXPECT_EQ(static_cast<uint32_t>(result), 0x20000028u);
    EXPECT_TRUE(log.contains("FfGetInfoPck() returned $20000028"));
}

// A machine that reached checkDevice, with recording traits; the check then runs on the test's
// thread.
class CheckThreadTest : public PackageTest {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{0.01};
    void SetUp() override {
        PackageTest::SetUp();
        machine.windowTrait = &windows;
        machine.deviceTrait = &device;
        machine.updateTrait = &update;
        device.onInitialise = [this] { machine.dispatch(sigArrival); };
        machine.init();
        ASSERT_TRUE(machine.isIn(StateMachine::kCheckDevice));
        journal.take();
    }
    void TearDown() override { PackageTest::TearDown(); }

    struct ProgressTrait : RecordingUpdateTrait {
        using RecordingUpdateTrait::RecordingUpdateTrait;
        int progress(int code, int value) override {
            journal.add("progress(" + std::to_string(code) + "," + std::to_string(value) + ")");
            return 0;
        }
    };

    Journal journal;
    RecordingWindowTrait windows{journal};
    RecordingDeviceTrait device{journal};
    ProgressTrait update{journal};
    StateMachine machine;
};

TEST_F(CheckThreadTest, UnreachableDeviceEndsTheCheckWith257) {
    update.updateInfo->appPort = L"\\\\.\\kestrel-no-such-port";
    update.updateInfo->diagPort = L"\\\\.\\kestrel-no-such-port";
    AppCheckThread(machine).entry();
    EXPECT_TRUE(machine.isIn(StateMachine::kDeviceUnusable));
    EXPECT_EQ(machine.errorCode, kResultDeviceInfoFailed);
    const auto calls = journal.take();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "progress(15,0)");
    EXPECT_EQ(calls[1], "progress(18,0)");
    EXPECT_EQ(calls[2], "progress(16,0)");
}

TEST_F(CheckThreadTest, MissingUpdateInfoEndsTheCheckWith284) {
    UpdateInfo* info = update.updateInfo;
    update.updateInfo = nullptr;
    LogCapture log("kestrel.threads.check");
    AppCheckThread(machine).entry();
    update.updateInfo = info;
    EXPECT_TRUE(machine.isIn(StateMachine::kDeviceUnusable));
    EXPECT_EQ(machine.errorCode, kResultNoUpdateInfo);
    EXPECT_TRUE(log.contains("No update info available"));
}

TEST_F(CheckThreadTest, CheckStartedWhileSleepingAfterAnUpdateDoesNothing) {
    machine.dispatch(sigDone);
    machine.dispatch(sigUpdate);
    machine.dispatch(sigDone);
    machine.dispatch(sigSleep);
    ASSERT_TRUE(machine.isIn(StateMachine::kSleepAfterUpdate));
    journal.take();
    AppCheckThread(machine).entry();
    EXPECT_TRUE(machine.isIn(StateMachine::kSleepAfterUpdate));
    EXPECT_TRUE(journal.take().empty()) << "no notification, no event";
}

} // namespace
