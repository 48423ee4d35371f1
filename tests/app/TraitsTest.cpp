#include "app/DeviceTrait.h"
#include "app/TraitEvent.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "app/WindowTrait.h"
#include "app/util/EnumName.h"
#include "app/util/Utilities.h"
#include "platform/Clock.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

TEST(EnumName, NamesInsideTheListAndUnknownOutside) {
    const char* names = "zero,one,two,";
    EXPECT_EQ(Kestrel::enumName(0, 0, names), "zero");
    EXPECT_EQ(Kestrel::enumName(0, 2, names), "two");
    EXPECT_EQ(Kestrel::enumName(0, 3, names), "unknownEnumValue(3)");
    EXPECT_EQ(Kestrel::enumName(0, -1, names), "unknownEnumValue(-1)");
    EXPECT_EQ(Kestrel::enumName(5, 6, names), "one");
    EXPECT_EQ(Kestrel::enumName(5, 4, names), "unknownEnumValue(4)");
    // A last name without its "," is not part of the list.
    EXPECT_EQ(Kestrel::enumName(0, 1, "zero,one"), "unknownEnumValue(1)");
}

TEST(LoggedSleep, PausesAndLogsTheRequestedAndTheSleptTime) {
    LogCapture log("tessera.utilities");
    platform::overrideTimeScale(0.01);
    const uint64_t before = platform::tickMs();
    Kestrel::Utilities::sleep(1000);
    const uint64_t slept = platform::tickMs() - before;
    platform::overrideTimeScale(1.0);
    EXPECT_GE(slept, 1000u);
    const auto messages = log.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Sleep for 1000 ms");
    EXPECT_EQ(messages[1].rfind("Slept for ", 0), 0u) << messages[1];
    const int reported = std::stoi(messages[1].substr(std::strlen("Slept for ")));
    EXPECT_GE(reported, 1000);
    EXPECT_LE(static_cast<uint64_t>(reported), slept);
    EXPECT_EQ(messages[1].substr(messages[1].size() - 3), " ms");
}

TEST(DefaultTraits, LogEveryCallAndReturnNeutralResults) {
    LogCapture log("kestrel.fsm");
    WindowTrait windows;
    DeviceTrait device;
    UpdateTrait update;

    EXPECT_EQ(windows.openWindow(3, 2, 11), 0);
    EXPECT_EQ(windows.refreshWindow(2), 0);
    EXPECT_EQ(windows.closeWindow(5), 0);
    EXPECT_EQ(windows.terminateApp(), 0);
    EXPECT_EQ(windows.powerFromWallOutlet(true, 42), 0);
    EXPECT_EQ(windows.postWindowEvent(9, 7), 0);
    EXPECT_EQ(windows.modulePath(L"C:\\dir\\file.dll"), L"C:\\dir\\file.dll");
    std::wstring installer;
    EXPECT_EQ(windows.installerPath(L"D:\\setup\\", installer), 0);
    EXPECT_EQ(installer, L"D:\\setup\\\\setup.exe") << "nothing is removed or added at the seam";
    EXPECT_EQ(windows.installerPath(L"D:", installer), 0);
    EXPECT_EQ(installer, L"D:\\setup.exe");

    int object = 77;
    EXPECT_EQ(device.deviceObject(true, &object), 0);
    EXPECT_EQ(object, 0);
    device.releaseObject(nullptr);
    EXPECT_EQ(device.diagPort(nullptr), "diagPort");
    EXPECT_EQ(device.appPort(nullptr), "appPort");
    EXPECT_EQ(device.checkDevice(false), 0);
    EXPECT_EQ(device.flashingMode(nullptr, true), 0);
    EXPECT_EQ(device.initialise(), 0);
    EXPECT_EQ(device.waitForArrival(), 0);
    EXPECT_EQ(device.waitForDeparture(), 0);
    EXPECT_EQ(device.terminate(), 0);
    EXPECT_EQ(update.startUpdate(), 0);
    EXPECT_EQ(update.progress(3, 0), 0);

    for (const char* expected :
         {"WindowTrait::openWindow(3, 2, 11)", "WindowTrait::refreshWindow(2)",
          "WindowTrait::closeWindow(5)", "WindowTrait::terminateApp()",
          "WindowTrait::powerFromWallOutlet(1,42)", "WindowTrait::postWindowEvent(9)",
          "DeviceTrait::deviceObject(1)", "DeviceTrait::releaseObject(0x0)",
          "DeviceTrait::checkDevice(0)", "DeviceTrait::flashingMode(0x0, 1)",
          "DeviceTrait::initialise()", "DeviceTrait::waitForArrival()",
          "DeviceTrait::waitForDeparture()", "DeviceTrait::terminate()",
          "UpdateTrait::startUpdate()", "UpdateTrait::progress(3, 0)"})
        EXPECT_TRUE(log.contains(expected)) << expected;
}

TEST(DefaultTraits, EveryUpdateTraitOwnsAZeroedRecord) {
    UpdateTrait first;
    UpdateTrait second;
    ASSERT_NE(first.updateInfo, nullptr);
    EXPECT_NE(first.updateInfo, second.updateInfo);
    EXPECT_EQ(first.updateInfo->hints.load(), 0u);
    EXPECT_EQ(first.updateInfo->model, 0);
    EXPECT_TRUE(first.updateInfo->lmCode.empty());
    EXPECT_FALSE(first.updateInfo->deviceFirmware.valid);
}

TEST(TraitEventTest, CloneCarriesKindAndArgumentsAndTextNamesTheKind) {
    TraitEvent event(ctetOpenWindow, 5, 2, 9);
    std::unique_ptr<wxEvent> copy(event.Clone());
    auto* clone = dynamic_cast<TraitEvent*>(copy.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->GetEventType(), kestrelEVT_TRAIT);
    EXPECT_EQ(clone->kind, ctetOpenWindow);
    EXPECT_EQ(clone->arg1, 5);
    EXPECT_EQ(clone->arg2, 2);
    EXPECT_EQ(clone->arg3, 9);
    EXPECT_EQ(event.text(), "(ctetOpenWindow 5 2 9)");
    EXPECT_EQ(TraitEvent(ctetEnableNext, 1, 0, 0).text(), "(unknownEnumValue(7) 1 0 0)");
    EXPECT_EQ(TraitEvent(ctetPower, 1, 40, 0).text(), "(ctetPower 1 40 0)");
}

TEST(TraitEventTest, DynamicallyCreatedEventIsATraitEventWithZeroFields) {
    std::unique_ptr<wxObject> created(wxCreateDynamicObject("TraitEvent"));
    auto* event = dynamic_cast<TraitEvent*>(created.get());
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->GetEventType(), kestrelEVT_TRAIT);
    EXPECT_EQ(event->kind, 0);
    EXPECT_EQ(event->arg1 | event->arg2 | event->arg3, 0);
}

TEST(UpdateInfoTest, VersionPairKeepsThePreviousValueAndFormsItsLogText) {
    VersionPair pair;
    EXPECT_EQ(pair.logForm(), "--");
    pair.set("3.17.1");
    EXPECT_EQ(pair.logForm(), "v3.17.1");
    EXPECT_TRUE(pair.previous().empty());
    pair.set("3.19.0");
    EXPECT_EQ(pair.previous(), "3.17.1");
    EXPECT_EQ(pair.logForm(), "v3.19.0[v3.17.1]");
}

TEST(UpdateInfoTest, VersionInfoFillsFirmwareAndSoftwareForms) {
    FfInfoRecord record{};
    std::strcpy(record.version, "3.19.0");
    std::strcpy(record.description, "Manufacturer: Velmar (x)");
    record.second = 3;
    record.minute = 3;
    record.hour = 15;
    record.day = 16;
    record.month = 3;
    record.year = 2010;

    VersionInfo firmware;
    firmware.fillFirmware(record);
    EXPECT_TRUE(firmware.valid);
    EXPECT_EQ(firmware.version.current(), "3.19.0");
    EXPECT_EQ(firmware.detail, "2010-03-16 15:03:03");
    EXPECT_EQ(std::memcmp(&firmware.raw, &record, sizeof record), 0);

    VersionInfo software;
    std::memset(record.version, 'x', sizeof record.version); // no terminator
    software.fillSoftware(record);
    EXPECT_EQ(software.detail, "Manufacturer: Velmar (x)");
    EXPECT_EQ(software.version.current().size(), sizeof record.version);
}

TEST(UpdateInfoTest, BatteryHintChangesAtomicallyBesideOtherBits) {
    UpdateInfo info;
    info.setHint(HintNewer, true);
    constexpr int kRounds = 10000;
    std::thread power([&info] {
        for (int i = 0; i < kRounds; ++i)
            info.setHint(HintBattery, i % 2 == 0);
    });
    for (int i = 0; i < kRounds; ++i)
        info.setHint(HintRecovery, i % 2 == 0);
    power.join();
    EXPECT_TRUE(info.hasHint(HintNewer));
    EXPECT_FALSE(info.hasHint(HintBattery));
    EXPECT_FALSE(info.hasHint(HintRecovery));
}

} // namespace
