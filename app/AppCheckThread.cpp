#include "app/AppCheckThread.h"

#include "app/AppDeviceTrait.h"

#include "app/ErrorCodes.h"
#include "app/PackageInfo.h"
#include "app/StateMachine.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "app/WindowTrait.h"
#include "app/util/Log.h"
#include "platform/Text.h"

#include <cstring>

namespace Kestrel {
namespace {

constexpr const wchar_t* kPackageName = L"KsFirmware.pck";
constexpr const char* kUnknownLmCode = "UNKNOWN";

constexpr int kProgressCheckStart = 15;
constexpr int kProgressCheckEnd = 16;
constexpr int kProgressReadFirmware = 18;

// The description field of a record, which the device does not fill for its software.
constexpr size_t kDescriptionBytes = sizeof(FfInfoRecord::description);

constexpr uint32_t kWarningMask = 0xFFFF0000u;
constexpr uint32_t kIgnoredLmCode = 0x4;
constexpr uint32_t kIgnoredProductName = 0x2;
constexpr uint32_t kIgnoredRevision = 0x1;
constexpr uint32_t kIgnoredTimeStamp = 0x8;

const log4cplus::Logger& checkLogger() {
    static const log4cplus::Logger logger = Log::logger("kestrel.threads.check");
    return logger;
}

std::string lockedDeviceLogForm(const UpdateInfo& info) {
    const auto guard = info.lock();
    return deviceLogForm(info);
}

std::string boundedText(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

} // namespace

int32_t mapDeviceInfoResult(uint32_t result) {
    switch (result) {
    case kFfOk:
        return kResultOk;
    case 0x10000001:
    case 0x20000012:
    case 0x2000004E:
    case 0x2000004F:
        return kResultDeviceNotResponding;
    case 0x1000002A:
        return kResultNoFirmwareInfo;
    case 0x20000028:
        return kResultPackageFormat;
    case 0x20000029:
        return kResultDeviceInfo29;
    default:
        return kResultDeviceInfoFailed;
    }
}

uint32_t ignoreDeviceWarnings(uint32_t result, FfInfoRecord& record) {
    if ((result & kWarningMask) == kFfDeviceInfoWarning) {
        const struct {
            uint32_t bit;
            const char* message;
        } ignored[] = {
            {kIgnoredLmCode, "Ignore warning about LM code"},
            {kIgnoredProductName, "Ignore warning about product name"},
            {kIgnoredRevision, "Ignore warning about revision"},
            {kIgnoredTimeStamp, "Ignore warning about time stamp"},
        };
        for (const auto& warning : ignored) {
            if ((result & warning.bit) == 0)
                continue;
            KESTREL_DEBUG(checkLogger(), warning.message);
            if (warning.bit == kIgnoredLmCode)
                std::memset(record.lmCode, 0, sizeof record.lmCode);
            result &= ~warning.bit;
            if ((result & ~kWarningMask) == 0)
                result = kFfOk;
        }
    }
    return result;
}

int32_t deviceInformation(int32_t model, int32_t kind, const wchar_t* diag, const wchar_t* app,
                          FfInfoRecord& record, int32_t* notNormal) {
    const std::wstring modelText = flasherModel(model);
    uint32_t result = FfGetInfoDevice(modelText.c_str(), kind, diag, app, &record, notNormal);
    if (result != kFfOk)
        KESTREL_ERROR(checkLogger(),
                      "FfGetInfoDevice() returned $" << std::hex << std::uppercase << result);
    result = ignoreDeviceWarnings(result, record);
    if (notNormal != nullptr && *notNormal == 1)
        KESTREL_INFO(checkLogger(), "Device is in recovery mode");
    return mapDeviceInfoResult(result);
}

int32_t readDeviceInfo(UpdateInfo& info, UpdateTrait& trait) {
    trait.progress(kProgressReadFirmware, 0);
    KESTREL_DEBUG(checkLogger(), "Read firmware version from device");
    FfInfoRecord firmware;
    std::memset(&firmware, 0, sizeof firmware);
    int32_t notNormal = 0;
    const UpdateInfo::Ports ports = info.ports();
    int32_t result = deviceInformation(ports.model, kFfInfoFirmware, ports.diag.c_str(),
                                       ports.app.c_str(), firmware, &notNormal);
    if (result != kResultOk)
        return result;
    {
        const auto guard = info.lock();
        info.recovery = notNormal == 1;
        info.modelName = boundedText(firmware.model, sizeof firmware.model);
        info.lmCode = boundedText(firmware.lmCode, sizeof firmware.lmCode);
        info.deviceFirmware.fillFirmware(firmware);
    }

    KESTREL_DEBUG(checkLogger(), "Read software version from device");
    FfInfoRecord software;
    std::memset(&software, 0, sizeof software);
    result = deviceInformation(ports.model, kFfInfoSoftware, ports.diag.c_str(), ports.app.c_str(),
                               software, nullptr);
    if (result == kResultOk) {
        std::memset(software.description, 0, kDescriptionBytes);
        const auto guard = info.lock();
        info.deviceSoftware.fillSoftware(software);
    }
    return result;
}

int32_t readPackageVersions(StateMachine& machine, UpdateInfo& info) {
    KESTREL_DEBUG(checkLogger(), "Read firmware version from package");
    const std::wstring path = machine.windowTrait->modulePath(kPackageName);
    PackageInfoData package;
    {
        // Starts from what the record holds: a failed read keeps it.
        const auto guard = info.lock();
        package = info.package;
    }
    const int32_t result = PackageInfo::read(path, info.ports().model, package);
    const auto guard = info.lock();
    info.package = package;
    return result;
}

void computeHints(UpdateInfo& info) {
    int32_t difference = 0;
    int32_t valid = 0;
    bool recovery = false;
    {
        const auto guard = info.lock();
        if (FfCompareInfo(kFfCompareTimeStamp, &info.deviceFirmware.raw, &info.package.firmware.raw,
                          &difference, &valid) != kFfOk)
            return;
        recovery = info.recovery;
    }
    info.setHint(HintOlder | HintNewer | HintSame, false);
    if (recovery)
        return;
    if (difference < 0)
        info.setHint(HintOlder, true);
    else if (difference > 0)
        info.setHint(HintNewer, true);
    else
        info.setHint(HintSame, true);
}

int32_t checkLmCode(const UpdateInfo& info) {
    if (info.lmCode.empty() || platform::equalIgnoringCase(info.lmCode, kUnknownLmCode) ||
        kSupportedLmCodes[0] == nullptr)
        return kResultOk;
    for (const char* const* code = kSupportedLmCodes; *code != nullptr; ++code)
        if (platform::equalIgnoringCase(info.lmCode, *code))
            return kResultOk;
    KESTREL_ERROR(checkLogger(), "LM code '" << info.lmCode << "' is not supported");
    return kResultLmCodeNotSupported;
}

AppCheckThread::AppCheckThread(StateMachine& machine) : machine(machine) {}

bool AppCheckThread::start(StateMachine& machine) {
    return machine.workers.start([&machine] {
        AppCheckThread check(machine);
        check.entry();
    });
}

int AppCheckThread::entry() {
    KESTREL_DEBUG(checkLogger(), "AppCheckThread::Entry()");
    if (machine.isIn(StateMachine::kSleepAfterUpdate))
        return 0;
    UpdateTrait& trait = *machine.updateTrait;
    trait.progress(kProgressCheckStart, 0);
    HsmEvent event{sigError, 0, 0, 0};
    UpdateInfo* info = trait.updateInfo;
    if (info == nullptr) {
        KESTREL_ERROR(checkLogger(), "No update info available");
        event.parameter = kResultNoUpdateInfo;
    } else {
        // The card is Kestrel's before its ports are opened.
        int32_t code = AppDeviceTrait::holdActiveCard();
        if (code == kResultOk)
            code = readDeviceInfo(*info, trait);
        KESTREL_DEBUG(checkLogger(), lockedDeviceLogForm(*info));
        if (code == kResultOk) {
            code = readPackageVersions(machine, *info);
            KESTREL_DEBUG(checkLogger(), lockedDeviceLogForm(*info));
        }
        if (code == kResultOk) {
            computeHints(*info);
            const auto guard = info->lock();
            code = checkLmCode(*info);
            KESTREL_DEBUG(checkLogger(), updateLogForm(*info));
        }
        event.parameter = code;
        if (code == kResultOk)
            event.signal = sigDone;
    }
    trait.progress(kProgressCheckEnd, 0);
    machine.dispatch(event);
    return 0;
}

} // namespace Kestrel
