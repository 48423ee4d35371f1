#include "update/UpdateProcess.h"

#include "app/DeviceTrait.h"
#include "app/ErrorCodes.h"
#include "app/PackageImage.h"
#include "app/StateMachine.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "app/util/Log.h"
#include "app/util/Utilities.h"
#include "flasher/Ff.h"
#include "platform/RegistryStore.h"
#include "update/FlashDecision.h"
#include "update/ProgressTable.h"

#include <mutex>

namespace Kestrel {
namespace {

constexpr int kStatusAttempts = 64;
constexpr uint32_t kStatusRetryPauseMs = 1000;
constexpr uint32_t kRegistryFirmwareFlashed = 1;
constexpr uint32_t kRegistryFirmwareKept = 2;

const log4cplus::Logger& processLogger() {
    static const log4cplus::Logger logger = Log::logger("kestrel.update.process");
    return logger;
}

const log4cplus::Logger& threadLogger() {
    static const log4cplus::Logger logger = Log::logger("kestrel.threads.update");
    return logger;
}

const log4cplus::Logger& callbackLogger() {
    static const log4cplus::Logger logger = Log::logger("kestrel.update.callback");
    return logger;
}

struct SharedRecord {
    std::mutex mutex;
    UpdateProcess::Record record;
};

SharedRecord& sharedRecord() {
    static SharedRecord* shared = new SharedRecord;
    return *shared;
}

bool isStatusRetry(uint32_t code) {
    return code == 0x10000001 || code == 0x10020001 || code == 0x10020002;
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// Loads the package for one update and releases it on every way out.
class ImageHold {
public:
    explicit ImageHold(UpdateProcess::Record& record) : record(record) { record.image = &image; }
    ~ImageHold() {
        image.release();
        record.image = nullptr;
    }
    int32_t load() { return image.load(); }

private:
    UpdateProcess::Record& record;
    PackageImage image;
};

// Holds the device in flashing mode, the sleep inhibitor with it, and ends that on every way out
// of the flash step: an inhibitor left held would keep the machine awake until the program ends.
class FlashingModeHold {
public:
    FlashingModeHold(DeviceTrait& device, void* handle) : device(device), handle(handle) {}
    ~FlashingModeHold() { device.flashingMode(handle, false); }
    FlashingModeHold(const FlashingModeHold&) = delete;
    FlashingModeHold& operator=(const FlashingModeHold&) = delete;
    int32_t take() { return device.flashingMode(handle, true); }

private:
    DeviceTrait& device;
    void* handle;
};

} // namespace

const char UpdateProcess::kCustomisationScript[] =
    "<post_customization><mode>modem</mode><at_cmd>at+cfun=0</at_cmd><at_cmd>at+cfun=4</at_cmd>"
    "<at_cmd>at_vhspacat=10,6</at_cmd></post_customization>\r\n";
static_assert(sizeof(UpdateProcess::kCustomisationScript) - 1 ==
                  UpdateProcess::kCustomisationScriptLength,
              "the customisation script is 146 bytes");

UpdateProcess::UpdateProcess(StateMachine& machine, Record& record)
    : machine(machine), state(record) {}

UpdateProcess::Record UpdateProcess::record() {
    std::lock_guard<std::mutex> guard(sharedRecord().mutex);
    return sharedRecord().record;
}

void UpdateProcess::resetRecord() {
    std::lock_guard<std::mutex> guard(sharedRecord().mutex);
    sharedRecord().record = Record{};
}

void UpdateProcess::run(StateMachine& machine, UpdateTrait& trait) {
    // One update runs at a time; the lock also keeps record() from reading a half-written record.
    std::unique_lock<std::mutex> guard(sharedRecord().mutex);
    Record& record = sharedRecord().record;
    record.trait = &trait;
    KESTREL_INFO(threadLogger(), "Beginning device update");
    record.result = 0;
    UpdateProcess process(machine, record);
    process.sequence();
    const int32_t result = record.result;
    record.deviceHandle = 0;
    guard.unlock();
    trait.progress(kProgressUpdateEnd, result);
    KESTREL_INFO(threadLogger(), "Device update is complete (error " << result << ")");
}

void UpdateProcess::notify(int code, int value) {
    if (state.trait != nullptr)
        state.trait->progress(code, value);
}

void UpdateProcess::progressCallback(int32_t code, int32_t value, void* context) {
    KESTREL_DEBUG(callbackLogger(), "Progress notification " << code << ", " << value);
    auto* record = static_cast<Record*>(context);
    if (record != nullptr && record->trait != nullptr)
        record->trait->progress(mapLibraryProgress(code), value);
}

int32_t UpdateProcess::sequence() {
    state.result = 0;
    notify(kProgressPreparing, 0);
    const UpdateInfo& info = *state.trait->updateInfo;
    const int32_t code = info.recovery ? recoveryUpdate() : normalUpdate();
    if (code != 0) {
        if (state.result == 0)
            state.result = code;
        KESTREL_ERROR(processLogger(), step << " (error " << code << ")");
    }
    writeRegistryRecord();
    return code;
}

int32_t UpdateProcess::normalUpdate() {
    UpdateInfo& info = *state.trait->updateInfo;
    int32_t code = determineFlags();
    if (code != 0) {
        step = "Could not determine update flags";
        return code;
    }
    ImageHold image(state);
    if (image.load() != kResultOk) {
        step = "Could not memory-map package";
        return kResultNoPackage;
    }
    if (twoPassProduct(info)) {
        code = flashParts(true, false);
        if (code != 0) {
            step = "Update of firmware parts failed";
            return code;
        }
        state.flashFirmware = false;
        state.flashSoftware = true;
    }
    code = flashStep();
    if (code != 0) {
        step = "Update of firmware parts failed";
        return code;
    }
    code = customisation();
    if (code != 0) {
        step = "Firmware customisation failed";
        return code;
    }
    return finalRead();
}

int32_t UpdateProcess::recoveryUpdate() {
    const UpdateInfo& info = *state.trait->updateInfo;
    step = "Recovery update complete";
    state.flashFirmware = true;
    ImageHold image(state);
    if (image.load() != kResultOk) {
        step = "Could not memory-map package";
        return kResultNoPackage;
    }
    int32_t code = 0;
    if (twoPassProduct(info)) {
        code = flashParts(true, false);
        if (code == 0)
            code = flashParts(false, true);
    } else {
        code = flashStep();
    }
    if (code != 0) {
        step = "Update of firmware parts failed";
        return code;
    }
    code = finalRead();
    return code != 0 ? code : kResultRecoveryComplete;
}

int32_t UpdateProcess::flashParts(bool firmware, bool software) {
    state.flashFirmware = firmware;
    state.flashSoftware = software;
    return flashStep();
}

int32_t UpdateProcess::determineFlags() {
    const UpdateInfo& info = *state.trait->updateInfo;
    KESTREL_DEBUG(processLogger(), "Update mode FW: " << 0 << ", SW: " << 0);
    FlashParts parts{state.flashFirmware, state.flashSoftware};
    const int32_t code = decideFlashParts(info, parts);
    state.flashFirmware = parts.firmware;
    state.flashSoftware = parts.software;
    if (code != 0)
        return code;
    KESTREL_DEBUG(processLogger(), "Update FW:" << boolText(state.flashFirmware)
                                                << ", SW:" << boolText(state.flashSoftware));
    return 0;
}

int32_t UpdateProcess::waitForArrival() {
    if (machine.deviceTrait->waitForArrival() != 0) {
        KESTREL_ERROR(processLogger(), "Device (modem) arrival not signaled");
        return kResultArrivalTimeout;
    }
    return 0;
}

int32_t UpdateProcess::repeatWhileModeChanging(const char* failure, const LibraryCall& call,
                                               uint32_t& code) {
    const UpdateInfo& info = *state.trait->updateInfo;
    for (;;) {
        // The ports change with every re-enumeration: take them afresh for each call.
        const UpdateInfo::Ports ports = info.ports();
        const std::wstring model = flasherModel(ports.model);
        code = call(model.c_str(), ports.diag.c_str(), ports.app.c_str());
        if (code != kFfModeChanging)
            return 0;
        const int32_t waited = waitForArrival();
        if (waited != 0) {
            KESTREL_ERROR(processLogger(), failure << " (error " << waited << ")");
            return waited;
        }
    }
}

int32_t UpdateProcess::flashStep() {
    void* handle = reinterpret_cast<void*>(static_cast<intptr_t>(state.deviceHandle));
    KESTREL_DEBUG(processLogger(), "Initiate firmware update");
    FlashingModeHold flashingMode(*machine.deviceTrait, handle);
    int32_t r = flashingMode.take();
    const bool flashing = state.flashFirmware || state.flashSoftware;
    if (r == 0 && flashing)
        r = checkPackageImages();
    if (r == 0 && flashing) {
        uint32_t code = 0;
        const int32_t preFlashWait = repeatWhileModeChanging(
            "Preflashing failed",
            [this](const wchar_t* model, const wchar_t* diag, const wchar_t* app) {
                return FfPreFlash(model, diag, app, &UpdateProcess::progressCallback, &state);
            },
            code);
        if (preFlashWait != 0)
            return preFlashWait;
        if (code != kFfOk) {
            KESTREL_ERROR(processLogger(), "Preflashing failed (error " << code << ")");
            return static_cast<int32_t>(code);
        }
        const PackageImage& image = *state.image;
        const int32_t flashWait = repeatWhileModeChanging(
            "Flashing failed",
            [this, &image](const wchar_t* model, const wchar_t* diag, const wchar_t* app) {
                return FfFlash(model, diag, app, state.flashFirmware, state.flashSoftware,
                               image.data(), static_cast<uint32_t>(image.size()),
                               &UpdateProcess::progressCallback, &state);
            },
            code);
        if (flashWait != 0)
            return flashWait;
        r = code == kFfOk ? afterFlashing() : static_cast<int32_t>(code);
    }
    if (state.ejected)
        r = kResultEjected;
    state.result = r;
    return r;
}

int32_t UpdateProcess::afterFlashing() {
    UpdateInfo& info = *state.trait->updateInfo;
    machine.dispatch(sigReset, 0);
    // Kept for the whole run and never cleared: the record says whether this run flashed the
    // firmware at all, so neither the software-only second pass of a two-pass product nor the
    // repeat that follows a recovery update (which finds the firmware already current) turns a
    // flashed firmware into "not flashed".
    {
        const auto guard = info.lock();
        info.fwUpdate = info.fwUpdate || state.flashFirmware;
        info.swUpdate = info.swUpdate || state.flashSoftware;
    }
    if (!machine.isIn(StateMachine::kWaitForDevice)) {
        statusCheck();
        return 0;
    }
    const int32_t arrived = waitForArrival();
    if (arrived == 0)
        statusCheck();
    return arrived;
}

int32_t UpdateProcess::checkPackageImages() {
    const UpdateInfo::Ports ports = state.trait->updateInfo->ports();
    const std::wstring model = flasherModel(ports.model);
    const PackageImage& image = *state.image;
    // Refused before the device leaves modem mode: an update that flashed nothing must not end
    // as if it had.
    const uint32_t code = FfCheckImages(model.c_str(), state.flashFirmware, state.flashSoftware,
                                        image.data(), static_cast<uint32_t>(image.size()));
    if (code != kFfOk)
        KESTREL_ERROR(processLogger(),
                      "The package holds no image to flash (error " << code << ")");
    return static_cast<int32_t>(code);
}

int32_t UpdateProcess::statusCheck() {
    const UpdateInfo& info = *state.trait->updateInfo;
    KESTREL_DEBUG(processLogger(), "Check device status");
    for (int attempt = 1; attempt <= kStatusAttempts; ++attempt) {
        int32_t status = -1;
        const UpdateInfo::Ports ports = info.ports();
        const std::wstring model = flasherModel(ports.model);
        const uint32_t code =
            FfGetStatus(model.c_str(), ports.diag.c_str(), ports.app.c_str(), &status);
        if (code == kFfOk) {
            if (status != 0)
                KESTREL_ERROR(processLogger(), "Status checked, status is " << status);
            return 0;
        }
        if (!isStatusRetry(code)) {
            KESTREL_DEBUG(processLogger(), "Could not check status, error " << code);
            return static_cast<int32_t>(code);
        }
        if (attempt < kStatusAttempts) {
            KESTREL_DEBUG(processLogger(), "Could not check status (retry)");
            Utilities::sleep(kStatusRetryPauseMs);
        }
    }
    KESTREL_DEBUG(processLogger(), "Could not check status (timeout)");
    return kResultStatusTimeout;
}

int32_t UpdateProcess::customisation() {
    const UpdateInfo& info = *state.trait->updateInfo;
    if (info.recovery) {
        KESTREL_DEBUG(processLogger(), "No firmware customisation (recovery mode)");
        return 0;
    }
    notify(kProgressCustomisation, 0);
    KESTREL_DEBUG(processLogger(), "Firmware customisation");
    for (;;) {
        const UpdateInfo::Ports ports = info.ports();
        const std::wstring model = flasherModel(ports.model);
        const uint32_t code =
            FfPostFlash(model.c_str(), ports.diag.c_str(), ports.app.c_str(), kCustomisationScript,
                        kCustomisationScriptLength, &UpdateProcess::progressCallback, &state);
        if (code == kFfModeChanging) {
            if (waitForArrival() == 0)
                continue;
            KESTREL_ERROR(processLogger(),
                          "Post-flashing failed (error " << kResultArrivalTimeout << ")");
            state.result = kResultArrivalTimeout;
            return kResultArrivalTimeout;
        }
        if (code != kFfOk) {
            KESTREL_ERROR(processLogger(), "Post-flashing failed (error " << code << ")");
            state.result = static_cast<int32_t>(code);
            return state.result;
        }
        state.result = 0;
        return 0;
    }
}

int32_t UpdateProcess::finalRead() {
    UpdateInfo& info = *state.trait->updateInfo;
    notify(kProgressReadStart, 0);
    {
        const auto guard = info.lock();
        if (info.recovery)
            info.fwRecovery = true;
        info.recovery = false;
    }
    info.setHint(HintRecovery, false);
    const int32_t r = machine.deviceTrait != nullptr ? machine.deviceTrait->checkDevice(false)
                                                     : kResultNoDeviceTrait;
    notify(kProgressReadEnd, r);
    return r;
}

void UpdateProcess::writeRegistryRecord() {
    if (state.result != 0)
        return;
    const UpdateInfo& info = *state.trait->updateInfo;
    const std::string key = std::string(kRegistryKey) + info.modelName;
    const uint32_t value = info.fwUpdate ? kRegistryFirmwareFlashed : kRegistryFirmwareKept;
    const uint32_t error =
        platform::RegistryStore().setDword(key, info.package.firmware.version.current(), value);
    if (error != 0)
        KESTREL_WARN(processLogger(), "Cannot write the update record (error " << error << ")");
}

} // namespace Kestrel
