#include "tests/support/EndToEndSupport.h"
#include "tests/support/RegistryRecord.h"

namespace e2e {
namespace {

std::string registryValue(const std::string& registry, const std::string& name) {
    return testsupport::registryValue(registry, EndToEndTest::kRegistryKey, name);
}

TEST_F(EndToEndTest, OlderFirmwareIsFlashedReadBackAndRecordedWhileTheServiceIsStopped) {
    startCard({}, kOlderCard);
    std::string serviceDuringUpdate;
    const RunResult run = runUpdater({}, [&](const std::string& line) {
        if (line == "progress 2 0")
            serviceDuringUpdate = services();
    });
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.exitStatus, 0) << run.text();
    EXPECT_EQ(run.value("result"), "0");
    EXPECT_EQ(run.value("exit"), "0");
    // Pre-flash, the image transfer with its phases, the customisation and the final read.
    EXPECT_TRUE(run.has("progress 4 0")) << run.text();
    EXPECT_TRUE(run.has("progress 9 0")) << run.text();
    EXPECT_TRUE(run.has("progress 13 1310774")) << run.text(); // 20 % share, 54 blocks
    EXPECT_EQ(run.count("progress 14 1"), 54) << run.text();
    EXPECT_TRUE(run.has("progress 10 0")) << run.text();
    EXPECT_TRUE(run.has("window 4")) << run.text();
    EXPECT_EQ(run.value("firmware"), "previous=3.18.2 current=3.19.0");
    EXPECT_EQ(run.value("flags"), "recovery=0 fwUpdate=1 swUpdate=0 fwRecovery=0");
    EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos) << cardState();
    EXPECT_EQ(registryValue(registry(), "3.19.0"), "dword:00000001") << registry();
    EXPECT_NE(serviceDuringUpdate.find("\"CmxService\": \"stopped\""), std::string::npos)
        << serviceDuringUpdate;
    EXPECT_NE(services().find("\"CmxService\": \"running\""), std::string::npos) << services();
}

TEST_F(EndToEndTest, SameFirmwareIsNotFlashedAndStillSucceedsAfterCustomisation) {
    startCard();
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "0") << run.text();
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_FALSE(run.has("progress 4 0")) << run.text();
    EXPECT_FALSE(run.has("progress 9 0")) << run.text();
    EXPECT_TRUE(run.has("progress 10 0")) << run.text();
    EXPECT_EQ(run.value("firmware"), "previous=3.19.0 current=3.19.0");
    EXPECT_EQ(run.value("flags"), "recovery=0 fwUpdate=0 swUpdate=0 fwRecovery=0");
    EXPECT_EQ(registryValue(registry(), "3.19.0"), "dword:00000002") << registry();
}

TEST_F(EndToEndTest, ProductD055IsFlashedInTwoPassesFirmwareFirstThenSoftware) {
    startCard({"--profile", "QT0880-D055"}, kOlderCard);
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "0") << run.text();
    // Each pass brings the card into loader mode and downloads the image.
    EXPECT_EQ(run.count("progress 9 0"), 2) << run.text();
    EXPECT_EQ(run.count("progress 13 1310774"), 2) << run.text();
    EXPECT_EQ(run.count("progress 10 0"), 1) << "one customisation after both passes";
    EXPECT_EQ(run.value("firmware"), "previous=3.18.2 current=3.19.0");
    EXPECT_EQ(run.value("flags"), "recovery=0 fwUpdate=1 swUpdate=1 fwRecovery=0");
    EXPECT_EQ(registryValue(registry(), "3.19.0"), "dword:00000001") << registry();
}

TEST_F(EndToEndTest, CardInRecoveryIsFlashedWithoutCustomisationAndAskedToRepeat) {
    startCard({"--start-mode", "1"}, kOlderCard);
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "265") << run.text();
    EXPECT_EQ(run.value("exit"), "0");
    EXPECT_TRUE(run.has("progress 9 0")) << run.text();
    EXPECT_FALSE(run.has("progress 10 0")) << run.text();
    EXPECT_TRUE(run.has("progress 3 265")) << run.text();
    EXPECT_EQ(run.value("flags"), "recovery=0 fwUpdate=1 swUpdate=0 fwRecovery=1");
    EXPECT_EQ(run.value("firmware"), "previous= current=3.19.0");
    EXPECT_EQ(registry(), "") << "no record for a recovery update";
    EXPECT_NE(services().find("\"CmxService\": \"running\""), std::string::npos);
}

TEST_F(EndToEndTest, UnsupportedLmCodeEndsTheCheckWith258) {
    startCard({"--lm-code", "QT0990-11111"});
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "258") << run.text();
    EXPECT_EQ(run.value("exit"), "2");
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_TRUE(run.has("window 3"));
    EXPECT_FALSE(run.has("progress 2 0")) << "no update starts";
}

TEST_F(EndToEndTest, SilentCardFailsTheDeviceReadWith257) {
    startCard({"--silent"});
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "257") << run.text();
    EXPECT_EQ(run.value("exit"), "1");
    EXPECT_EQ(registry(), "");
}

TEST_F(EndToEndTest, CardThatDoesNotComeBackAfterProgrammingEndsWith277) {
    startCard({"--no-come-back"}, kOlderCard);
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "277") << run.text();
    EXPECT_EQ(run.value("exit"), "2");
    EXPECT_EQ(registry(), "") << "a failed update writes no record";
    EXPECT_NE(services().find("\"CmxService\": \"running\""), std::string::npos);
}

TEST_F(EndToEndTest, ProgrammingErrorPassesTheFlashingLibraryCodeThrough) {
    startCard({"--programming-error", "ERROR: flash write failed"}, kOlderCard);
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), std::to_string(0x20000001)) << run.text();
    EXPECT_EQ(run.value("exit"), "1");
    EXPECT_EQ(registry(), "");
}

TEST_F(EndToEndTest, TimedOutBlockPassesTheFlashingLibraryCodeThrough) {
    startCard({"--timeout-at-block", "3"}, kOlderCard);
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    const std::string result = run.value("result");
    EXPECT_NE(result, "0") << run.text();
    EXPECT_GE(std::stoll(result), 0x20000000) << "a flashing-library error: " << run.text();
    EXPECT_EQ(run.value("exit"), "1");
    EXPECT_EQ(registry(), "");
}

TEST_F(EndToEndTest, UpdaterWithoutAnyPackageFailsTheCheckWith0x80000000) {
    startCard();
    const RunResult run = runUpdater({"--no-embedded-package"});
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), std::to_string(static_cast<int32_t>(0x80000000u))) << run.text();
    EXPECT_EQ(run.value("exit"), "1");
    EXPECT_TRUE(run.has("window 3"));
}

TEST_F(EndToEndTest, PackageFileBesideTheExecutableIsUsedBeforeTheEmbeddedOne) {
    // A copy of the updater with a broken package beside it: the check must read that file.
    const fs::path folder = root / "bin";
    fs::create_directories(folder);
    fs::copy_file(headlessProgram(), folder / "kestrel-headless");
    writeFile(folder / "Broken.pck", "this is not a firmware package");
    startCard();
    const RunResult broken = runUpdater({}, {}, folder / "kestrel-headless");
    ASSERT_FALSE(broken.timedOut) << broken.text();
    EXPECT_EQ(broken.value("result"), std::to_string(0x20000028)) << broken.text();

    // The real package as a file serves an updater that carries none.
    fs::remove(folder / "Broken.pck");
    fs::copy_file(KESTREL_EMBEDDED_PACKAGE_PATH, folder / "Firmware.pck");
    const RunResult good = runUpdater({"--no-embedded-package"}, {}, folder / "kestrel-headless");
    ASSERT_FALSE(good.timedOut) << good.text();
    EXPECT_EQ(good.value("result"), "0") << good.text();
}

TEST_F(EndToEndTest, UpdaterStartedBeforeTheCardWaitsForItThenUpdates) {
    int welcomePages = 0;
    const RunResult run = runUpdater({}, [&](const std::string& line) {
        // The no-card state opens the welcome page a second time: now plug the card in.
        if (line == "window 1" && ++welcomePages == 2)
            startCard({}, kOlderCard);
    });
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(welcomePages, 2) << run.text();
    EXPECT_EQ(run.value("result"), "0") << run.text();
    EXPECT_EQ(run.value("firmware"), "previous=3.18.2 current=3.19.0");
}

TEST_F(EndToEndTest, ServiceThatIsNotInstalledDoesNotStopTheUpdate) {
    writeFile(root / "services.json", "{}\n");
    startCard();
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "0") << run.text();
    EXPECT_EQ(services(), "{}\n");
}

TEST_F(EndToEndTest, ServiceThatCannotBeStoppedEndsStartUpWith262) {
    writeFile(root / "services.json", "not json");
    startCard();
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "262") << run.text();
    EXPECT_EQ(run.value("exit"), "1");
    EXPECT_EQ(run.lines.front(), "window 1");
    EXPECT_TRUE(run.has("window 3"));
    EXPECT_FALSE(run.has("window 5")) << "no device check without detection";
}

// The simulated machine's ModemManager with the card's modem.
std::string modemManagerFile(bool inhibited) {
    return std::string("{\"modems\": [{\"device\": \"card-uid\", \"physdev\": ") +
           "\"/sys/devices/pci0000:00/0000:00:14.0/usb1/0001\", \"inhibited\": " +
           (inhibited ? "true" : "false") + "}]}\n";
}

bool modemInhibited(const std::string& file) {
    return file.find("\"inhibited\": true") != std::string::npos;
}

TEST_F(EndToEndTest, ModemManagerLeavesTheCardAloneForTheWholeUpdateAndGetsItBack) {
    writeFile(root / "modemmanager.json", modemManagerFile(false));
    startCard({}, kOlderCard);
    bool inhibitedAtCheck = false;
    bool inhibitedWhileFlashing = false;
    const RunResult run = runUpdater({}, [&](const std::string& line) {
        const bool inhibited = modemInhibited(readFile(root / "modemmanager.json"));
        if (line == "window 5")
            inhibitedAtCheck = inhibited;
        if (line == "progress 10 0")
            inhibitedWhileFlashing = inhibited;
    });
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "0") << run.text();
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(inhibitedAtCheck);
    EXPECT_TRUE(inhibitedWhileFlashing) << "released before the card came back";
    EXPECT_FALSE(modemInhibited(readFile(root / "modemmanager.json")));
    EXPECT_NE(services().find("\"CmxService\": \"running\""), std::string::npos);
}

TEST_F(EndToEndTest, CardThatAnotherProgramInhibitedIsRefusedWith262AndNotTouched) {
    writeFile(root / "modemmanager.json", modemManagerFile(true));
    startCard({}, kOlderCard);
    const RunResult run = runUpdater();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_EQ(run.value("result"), "262") << run.text();
    EXPECT_EQ(run.value("exit"), "1");
    EXPECT_TRUE(run.has("window 3"));
    EXPECT_FALSE(run.has("progress 2 0")) << "no update starts";
    EXPECT_NE(cardState().find("\"revision\": \"3.18.2\""), std::string::npos) << cardState();
    EXPECT_TRUE(modemInhibited(readFile(root / "modemmanager.json")))
        << "another program's inhibition was released";
    EXPECT_NE(services().find("\"CmxService\": \"running\""), std::string::npos);
}

} // namespace
} // namespace e2e
