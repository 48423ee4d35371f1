#include "app/AppCheckThread.h"
#include "app/AppDeviceTrait.h"
#include "app/DeviceTrait.h"
#include "app/ErrorCodes.h"
#include "app/PackageImage.h"
#include "app/StateMachine.h"
#include "app/TraitEvent.h"
#include "app/UpdateInfo.h"
#include "app/WindowTrait.h"
#include "platform/Clock.h"
#include "platform/RegistryStore.h"
#include "sim/CardSimulator.h"
#include "sim/Loader.h"
#include "update/AppUpdateTrait.h"
#include "update/UpdateProcess.h"
#include "tests/support/BuiltPackage.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace Kestrel;
namespace fs = std::filesystem;

constexpr const char* kModelKey = "HKEY_LOCAL_MACHINE\\Software\\Velmar\\FirmwareUpdate\\QT0880";

std::wstring portPath(const std::string& name) {
    return name.empty() ? std::wstring() : L"\\\\.\\" + std::wstring(name.begin(), name.end());
}

// Records every progress notification; startUpdate does nothing (the test runs the process).
struct RecordingUpdate : UpdateTrait {
    int startUpdate() override { return 0; }
    int progress(int code, int value) override {
        std::lock_guard<std::mutex> guard(mutex);
        codes.emplace_back(code, value);
        return 0;
    }
    int count(int code) {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<int>(std::count_if(
            codes.begin(), codes.end(), [&](const auto& each) { return each.first == code; }));
    }
    std::mutex mutex;
    std::vector<std::pair<int, int>> codes;
};

// The device side, played by the simulated card: its arrivals update the ports.
struct SimulatedDevice : DeviceTrait {
    SimulatedDevice(StateMachine& machine, UpdateTrait& update)
        : machine(machine), update(update) {}
    int initialise() override {
        machine.dispatch(sigArrival);
        return 0;
    }
    int checkDevice(bool asynchronous) override {
        if (asynchronous)
            return 0;
        return readDeviceInfo(*update.updateInfo, update);
    }
    int flashingMode(void*, bool on) override {
        modes.push_back(on);
        return 0;
    }
    int waitForArrival() override {
        cardsim::Presence seen;
        if (!card->waitForArrival(generation, 60000, &seen))
            return kResultArrivalTimeout;
        take(seen);
        return 0;
    }
    void take(const cardsim::Presence& presence) {
        generation = presence.generation;
        std::lock_guard<std::mutex> guard(update.updateInfo->mutex);
        update.updateInfo->appPort = portPath(presence.applicationPort);
        update.updateInfo->diagPort = portPath(presence.diagnosticPort);
    }

    StateMachine& machine;
    UpdateTrait& update;
    cardsim::CardSimulator* card = nullptr;
    int generation = 0;
    std::vector<bool> modes;
};

class UpdateProcessTest : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    // The AT engine's 16 reads for an answer outlast a card simulator kept waiting by a loaded
    // machine.
    testsupport::ScopedTimeScale scaleGuard{0.05};
    void SetUp() override {
        ASSERT_FALSE(testsupport::builtPackageBytes().empty());
        char pattern[] = "/tmp/kestrel-update-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root / "devices");
        fs::create_directories(root / "bin");
        setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
        PackageImage::setModuleDirectory((root / "bin").string());
        PackageImage::setEmbeddedLookup(&testsupport::builtPackageLookup);
        UpdateProcess::resetRecord();
        FfInitialise(0, nullptr, 0);
        machine.windowTrait = &windows;
        machine.updateTrait = &update;
        machine.deviceTrait = &device;
    }
    void TearDown() override {
        if (card)
            card->stop();
        loader.reset();
        card.reset();
        FfShutdown();
        PackageImage::setModuleDirectory("");
        PackageImage::setEmbeddedLookup(nullptr);
        unsetenv("KESTREL_SIM_ROOT");
        std::error_code error;
        fs::remove_all(root, error);
    }

    // Starts the card with the given firmware (built at `time` on `date`), checks it as the check
    // thread would, and brings the workflow to its update state.
    void startAndCheck(const std::string& revision, const std::string& date, int mode = 0,
                       const std::string& time = "15:03:03") {
        cardsim::SimulatorOptions options;
        options.root = root.string();
        options.stateFile = (root / "card.state.json").string();
        options.modeChangeDelayMs = 1000;
        options.faults = faults;
        cardsim::CardState state;
        state.revision = revision;
        state.date = date;
        state.time = time;
        state.mode = mode;
        ASSERT_TRUE(cardsim::saveCardState(options.stateFile, state));
        card = std::make_unique<cardsim::CardSimulator>(options);
        cardsim::LoaderOptions loaderOptions;
        loaderOptions.comeBackDelayMs = 1000;
        loader = std::make_unique<cardsim::Loader>(*card, loaderOptions);
        std::string problem;
        ASSERT_TRUE(card->start(&problem)) << problem;
        device.card = card.get();
        device.take(card->presence());
        UpdateInfo& info = *update.updateInfo;
        info.model = 880;
        ASSERT_EQ(readDeviceInfo(info, update), kResultOk);
        ASSERT_EQ(readPackageVersions(machine, info), kResultOk);
        computeHints(info);
        machine.init();
        machine.dispatch(sigDone);
        machine.dispatch(sigUpdate);
        ASSERT_TRUE(machine.isIn(StateMachine::kUpdate));
        card->clearReceivedCommands();
        update.codes.clear();
    }

    bool received(const std::string& command) {
        const auto commands = card->receivedCommands();
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }

    uint32_t registryValue(const std::string& name, uint32_t& value) {
        return platform::RegistryStore().queryDword(kModelKey, name, value);
    }

    fs::path root;
    cardsim::CardFaults faults;
    WindowTrait windows;
    RecordingUpdate update;
    StateMachine machine;
    SimulatedDevice device{machine, update};
    std::unique_ptr<cardsim::CardSimulator> card;
    std::unique_ptr<cardsim::Loader> loader;
};

TEST_F(UpdateProcessTest, SameFirmwareIsCustomisedReadAgainAndRecordedAsNotFlashed) {
    startAndCheck("3.19.0", "Mar 16 2010");
    UpdateProcess::run(machine, update);
    EXPECT_EQ(update.codes.front(), std::make_pair(2, 0));
    EXPECT_EQ(update.codes.back(), std::make_pair(3, 0));
    EXPECT_EQ(update.count(9), 0) << "nothing flashed";
    EXPECT_EQ(update.count(10), 1);
    EXPECT_TRUE(received("at+cfun=0"));
    EXPECT_TRUE(received("at+cfun=4"));
    EXPECT_TRUE(received("at_vhspacat=10,6"));
    EXPECT_EQ(device.modes, (std::vector<bool>{true, false}));
    uint32_t value = 0;
    ASSERT_EQ(registryValue("3.19.0", value), 0u);
    EXPECT_EQ(value, 2u);
    EXPECT_FALSE(UpdateProcess::record().flashFirmware);
}

TEST_F(UpdateProcessTest, OlderFirmwareIsFlashedAndTheVersionsShiftToPrevious) {
    startAndCheck("3.18.2", "Jan 05 2010");
    UpdateProcess::run(machine, update);
    EXPECT_EQ(update.codes.back(), std::make_pair(3, 0));
    EXPECT_EQ(update.count(4), 2) << "pre-flash before and after the switch to loader mode";
    EXPECT_EQ(update.count(9), 1);
    EXPECT_EQ(card->stateSnapshot().revision, "3.19.0");
    const UpdateInfo& info = *update.updateInfo;
    EXPECT_TRUE(info.fwUpdate);
    EXPECT_EQ(info.deviceFirmware.version.previous(), "3.18.2");
    EXPECT_EQ(info.deviceFirmware.version.current(), "3.19.0");
    EXPECT_TRUE(machine.isIn(StateMachine::kWaitForDevice)) << "sigReset came from the process";
    uint32_t value = 0;
    ASSERT_EQ(registryValue("3.19.0", value), 0u);
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(UpdateProcess::record().flashFirmware) << "kept for the next update of the run";
}

TEST_F(UpdateProcessTest, RecoveryUpdateSkipsCustomisationEndsWith265AndWritesNoRecord) {
    startAndCheck("3.18.2", "Jan 05 2010", 1);
    ASSERT_TRUE(update.updateInfo->recovery);
    update.updateInfo->setHint(HintRecovery, true);
    UpdateProcess::run(machine, update);
    EXPECT_EQ(update.codes.back(), std::make_pair(3, int(kResultRecoveryComplete)));
    EXPECT_EQ(update.count(10), 0);
    EXPECT_FALSE(received("at+cfun=0"));
    const UpdateInfo& info = *update.updateInfo;
    EXPECT_TRUE(info.fwRecovery);
    EXPECT_FALSE(info.recovery) << "the card came back in modem mode";
    EXPECT_FALSE(info.hasHint(HintRecovery));
    uint32_t value = 0;
    EXPECT_EQ(registryValue("3.19.0", value), platform::RegistryError::kNotFound);
}

// The card starts outside its normal modes: in loader mode, or in factory-test mode (2), from
// which the pre-flash first switches it to loader mode.
class RecoveryRecordTest : public UpdateProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(RecoveryRecordTest, RecoveryAndTheRepeatAfterItRecordTheFirmwareAsFlashed) {
    startAndCheck("3.18.2", "Jan 05 2010", GetParam());
    ASSERT_TRUE(update.updateInfo->recovery);
    UpdateProcess::run(machine, update);
    ASSERT_EQ(update.codes.back(), std::make_pair(3, int(kResultRecoveryComplete)));
    EXPECT_EQ(update.count(9), 1);
    uint32_t value = 0;
    EXPECT_EQ(registryValue("3.19.0", value), platform::RegistryError::kNotFound);

    // What the application does with 265 once the card is out of recovery: the update again,
    // at once and without a new check.
    ASSERT_FALSE(update.updateInfo->recovery);
    machine.dispatch(sigError, kResultRecoveryComplete);
    machine.dispatch(sigUpdate);
    ASSERT_TRUE(machine.isIn(StateMachine::kUpdate));
    update.codes.clear();
    UpdateProcess::run(machine, update);
    EXPECT_EQ(update.codes.back(), std::make_pair(3, 0));
    EXPECT_EQ(update.count(9), 0) << "the firmware is current now: the repeat flashes nothing";
    EXPECT_EQ(update.count(10), 1) << "the repeat customises the card";
    ASSERT_EQ(registryValue("3.19.0", value), 0u);
    EXPECT_EQ(value, 1u) << "this run flashed the firmware (during the recovery)";
}

INSTANTIATE_TEST_SUITE_P(StartMode, RecoveryRecordTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& mode) {
                             return mode.param == 1 ? std::string("loaderMode")
                                                    : std::string("factoryTestMode");
                         });

TEST_F(UpdateProcessTest, ProductD055FlashedInTwoPassesIsRecordedAsFirmwareFlashed) {
    startAndCheck("3.18.2", "Jan 05 2010");
    update.updateInfo->productId = 0xD055;
    UpdateProcess::run(machine, update);
    EXPECT_EQ(update.codes.back(), std::make_pair(3, 0));
    EXPECT_EQ(update.count(9), 2) << "firmware pass, then software pass";
    EXPECT_FALSE(UpdateProcess::record().flashFirmware) << "the last pass was the software's";
    uint32_t value = 0;
    ASSERT_EQ(registryValue("3.19.0", value), 0u);
    EXPECT_EQ(value, 1u);
}

// The embedded package with the file type of its one image changed: 3 is an image that is never
// flashed, 11 one that is flashed only with the software.
std::vector<uint8_t> packageWithImageType(uint8_t fileType) {
    constexpr size_t kMainHeaderSize = 17;
    constexpr size_t kEntryHeaderSize = 12;
    constexpr size_t kPayloadSizeOffset = 4;
    constexpr size_t kFileTypeOffset = 516;
    std::vector<uint8_t> bytes = testsupport::builtPackageBytes();
    uint32_t infoSize = 0;
    for (size_t byte = 0; byte < sizeof infoSize; ++byte)
        infoSize |= uint32_t(bytes[kMainHeaderSize + kPayloadSizeOffset + byte]) << (8 * byte);
    const size_t fileType0 =
        kMainHeaderSize + kEntryHeaderSize + infoSize + kEntryHeaderSize + kFileTypeOffset;
    EXPECT_EQ(bytes.at(fileType0), 9) << "the embedded image is of type 9";
    bytes.at(fileType0) = fileType;
    return bytes;
}

class PackageWithoutFirmwareImageTest : public UpdateProcessTest,
                                        public ::testing::WithParamInterface<int> {};

TEST_P(PackageWithoutFirmwareImageTest, FailsWithTheFormatErrorBeforeTheCardChangesMode) {
    const std::vector<uint8_t> bytes = packageWithImageType(static_cast<uint8_t>(GetParam()));
    std::ofstream(root / "bin/Firmware.pck", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    startAndCheck("3.18.2", "Jan 05 2010");
    ASSERT_TRUE(update.updateInfo->package.firmware.valid) << "the package read its firmware";
    UpdateProcess::run(machine, update);
    EXPECT_EQ(update.codes.back(), std::make_pair(3, int(kFfPackageFormatError)));
    EXPECT_EQ(update.count(4), 0) << "no pre-flash";
    EXPECT_EQ(update.count(10), 0) << "no customisation";
    EXPECT_TRUE(card->receivedCommands().empty()) << "the card was not touched";
    EXPECT_EQ(device.modes, (std::vector<bool>{true, false}));
    EXPECT_EQ(card->stateSnapshot().mode, 0);
    EXPECT_EQ(card->stateSnapshot().revision, "3.18.2");
    EXPECT_FALSE(update.updateInfo->fwUpdate);
    EXPECT_FALSE(fs::exists(root / "sysroot/var/lib/kestrel/registry.txt"));
}

INSTANTIATE_TEST_SUITE_P(ImageType, PackageWithoutFirmwareImageTest, ::testing::Values(3, 11),
                         [](const ::testing::TestParamInfo<int>& type) {
                             return "type" + std::to_string(type.param);
                         });

TEST_F(UpdateProcessTest, RecoveryWithAPackageWithoutFirmwareImageFailsBeforeFlashing) {
    const std::vector<uint8_t> bytes = packageWithImageType(3);
    std::ofstream(root / "bin/Firmware.pck", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    startAndCheck("3.18.2", "Jan 05 2010", 2);
    ASSERT_TRUE(update.updateInfo->recovery);
    UpdateProcess::run(machine, update);
    EXPECT_EQ(update.codes.back(), std::make_pair(3, int(kFfPackageFormatError)));
    EXPECT_EQ(update.count(4), 0) << "no pre-flash";
    EXPECT_EQ(card->stateSnapshot().mode, 2) << "left in the mode it was found in";
}

TEST_F(UpdateProcessTest, MissingPackageEndsWith0x80000000AndWritesNoRecord) {
    startAndCheck("3.18.2", "Jan 05 2010");
    PackageImage::setEmbeddedLookup(nullptr);
    UpdateProcess::run(machine, update);
    EXPECT_EQ(update.codes.back(), std::make_pair(3, kResultNoPackage));
    EXPECT_EQ(update.count(4), 0);
    EXPECT_TRUE(device.modes.empty());
    EXPECT_FALSE(fs::exists(root / "sysroot/var/lib/kestrel/registry.txt"));
}

TEST_F(UpdateProcessTest, CardThatDoesNotComeBackFromLoaderModeEndsWith277) {
    startAndCheck("3.18.2", "Jan 05 2010");
    device.card = nullptr;
    struct NeverBack : SimulatedDevice {
        using SimulatedDevice::SimulatedDevice;
        int waitForArrival() override { return kResultArrivalTimeout; }
    } stuck(machine, update);
    machine.deviceTrait = &stuck;
    UpdateProcess::run(machine, update);
    machine.deviceTrait = &device;
    EXPECT_EQ(update.codes.back(), std::make_pair(3, int(kResultArrivalTimeout)));
    EXPECT_EQ(update.count(9), 0);
    EXPECT_EQ(stuck.modes, (std::vector<bool>{true, false})) << "a failed pre-flash ends it too";
}

// The program's device trait for flashing mode and its sleep inhibitor (on the simulated machine
// the file DIR/sleep-inhibitor), the simulated card for everything else.
struct InhibitingDevice : AppDeviceTrait {
    InhibitingDevice(StateMachine& machine, SimulatedDevice& card, fs::path inhibitorFile)
        : AppDeviceTrait(machine), card(card), inhibitorFile(std::move(inhibitorFile)) {}
    int initialise() override { return card.initialise(); }
    int checkDevice(bool asynchronous) override { return card.checkDevice(asynchronous); }
    int waitForArrival() override {
        return comesBack ? card.waitForArrival() : kResultArrivalTimeout;
    }
    int flashingMode(void* object, bool on) override {
        const int result = AppDeviceTrait::flashingMode(object, on);
        if (on)
            heldWhileFlashing = fs::exists(inhibitorFile);
        return result;
    }

    SimulatedDevice& card;
    fs::path inhibitorFile;
    bool comesBack = true;
    bool heldWhileFlashing = false;
};

struct FailedPreFlash {
    const char* name;
    // The command the card answers "ERROR".
    const char* refusedCommand;
    bool comesBack;
    int32_t result;
};

void PrintTo(const FailedPreFlash& failure, std::ostream* out) {
    *out << failure.name;
}

class FailedPreFlashTest : public UpdateProcessTest,
                           public ::testing::WithParamInterface<FailedPreFlash> {};

TEST_P(FailedPreFlashTest, SleepInhibitorIsReleasedWhenTheUpdateEnds) {
    const FailedPreFlash& failure = GetParam();
    if (*failure.refusedCommand != '\0')
        faults.errorCommands.insert(failure.refusedCommand);
    startAndCheck("3.18.2", "Jan 05 2010");
    InhibitingDevice inhibiting(machine, device, root / "sleep-inhibitor");
    inhibiting.comesBack = failure.comesBack;
    machine.deviceTrait = &inhibiting;
    UpdateProcess::run(machine, update);
    machine.deviceTrait = &device;
    EXPECT_EQ(update.codes.back(), std::make_pair(3, int(failure.result)));
    EXPECT_EQ(update.count(9), 0) << "nothing flashed";
    EXPECT_TRUE(inhibiting.heldWhileFlashing) << "taken when flashing mode began";
    EXPECT_FALSE(fs::exists(root / "sleep-inhibitor")) << "released while the trait lives on";
}

INSTANTIATE_TEST_SUITE_P(
    Failure, FailedPreFlashTest,
    ::testing::Values(FailedPreFlash{"cardNotBackInLoaderMode", "", false, kResultArrivalTimeout},
                      FailedPreFlash{"loaderModeRefused", "AT%MODE=1", true,
                                     static_cast<int32_t>(kFfPortOrModeFailed)}),
    [](const ::testing::TestParamInfo<FailedPreFlash>& failure) {
        return std::string(failure.param.name);
    });

TEST_F(UpdateProcessTest, LibraryProgressReachesTheTraitMapped) {
    UpdateProcess::Record record;
    record.trait = &update;
    UpdateProcess::progressCallback(7, 0, &record);
    UpdateProcess::progressCallback(100, 0x00140036, &record);
    UpdateProcess::progressCallback(55, 9, &record);
    UpdateProcess::progressCallback(1, 0, nullptr);
    const std::vector<std::pair<int, int>> expected = {{9, 0}, {13, 0x00140036}, {0, 9}};
    EXPECT_EQ(update.codes, expected);
}

TEST(CustomisationScript, IsTheModemModeAndThreeCommandsEndedByCrLf) {
    const std::string script(UpdateProcess::kCustomisationScript,
                             UpdateProcess::kCustomisationScriptLength);
    EXPECT_EQ(script.size(), 146u);
    EXPECT_EQ(script.substr(script.size() - 2), "\r\n");
    EXPECT_EQ(script.find("<mode>modem</mode>"), 20u);
}

std::mutex postedMutex;
std::condition_variable postedCondition;
std::vector<TraitEvent> posted;

void recordEvent(const TraitEvent& event) {
    std::lock_guard<std::mutex> guard(postedMutex);
    posted.push_back(event);
    postedCondition.notify_all();
}

TEST(AppUpdateTrait, ProgressIsPostedAsATraitEventAndTheThreadEndsWithNotification3) {
    const testsupport::ScopedTimeScale scale(0.01);
    AppUpdateTrait::setEventPoster(&recordEvent);
    UpdateProcess::resetRecord();
    PackageImage::setEmbeddedLookup(nullptr);
    char pattern[] = "/tmp/kestrel-update-trait-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    PackageImage::setModuleDirectory(pattern);
    {
        StateMachine machine;
        AppUpdateTrait trait(machine);
        machine.updateTrait = &trait;
        EXPECT_EQ(trait.progress(12, 7), 0);
        EXPECT_EQ(trait.startUpdate(), 0);
        std::unique_lock<std::mutex> lock(postedMutex);
        ASSERT_TRUE(postedCondition.wait_for(lock, std::chrono::seconds(30), [] {
            return !posted.empty() && posted.back().arg1 == 3;
        }));
        ASSERT_GE(posted.size(), 3u);
        EXPECT_EQ(posted[0].kind, ctetProgress);
        EXPECT_EQ(posted[0].arg1, 12);
        EXPECT_EQ(posted[0].arg2, 7);
        EXPECT_EQ(posted[0].arg3, 0);
        EXPECT_EQ(posted[1].arg1, 2);
        EXPECT_EQ(posted.back().arg2, kResultNoPackage);
        lock.unlock();
        // Taken once the thread has left the process, after which it touches the trait no more.
        EXPECT_EQ(UpdateProcess::record().result, kResultNoPackage);
    }
    AppUpdateTrait::setEventPoster(nullptr);
    PackageImage::setModuleDirectory("");
    fs::remove_all(pattern);
}

} // namespace
