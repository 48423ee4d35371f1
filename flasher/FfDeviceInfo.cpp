#include "flasher/DeviceOperations.h"
#include "flasher/Ff.h"
#include "flasher/InfoParsers.h"
#include "flasher/Library.h"

#include <algorithm>
#include <cstdio>
#include <limits>

using namespace flasher;

namespace {

bool normalMode(int32_t mode) {
    return mode == kFfModeModem || mode == kFfModeOther;
}

void takeSharedError(Library& object) {
    object.setLastError("%s", sharedLogger().lastError());
}

FfResult readFirmwareInfo(Library& object, const wchar_t* diag, const wchar_t* app,
                          FfInfoRecord& record) {
    char answer[kAtBufferSize] = {};
    if (readDeviceIdentity(app, diag, answer) != kAtOk) {
        takeSharedError(object);
        return kFfDeviceIdentityUnreadable;
    }
    if (parseIdentity(answer, sizeof answer, record) != kParseOk) {
        object.setLastError("Parse FW info error");
        return kFfDeviceIdentityUnreadable;
    }
    char lmAnswer[kAtBufferSize] = {};
    if (readDeviceLmCode(app, diag, lmAnswer) != kAtOk) {
        takeSharedError(object);
        return kFfDeviceLmCodeUnreadable;
    }
    if (parseLmCode(lmAnswer, sizeof lmAnswer, record) != kParseOk) {
        object.setLastError("Parse LMC error");
        return kFfDeviceLmCodeUnreadable;
    }
    return kFfOk;
}

FfResult readSoftwareInfo(Library& object, const wchar_t* diag, const wchar_t* app,
                          FfInfoRecord& record) {
    char answer[kAtBufferSize] = {};
    if (readDeviceSoftwareVersion(app, diag, answer) != kAtOk) {
        takeSharedError(object);
        return kFfDeviceIdentityUnreadable;
    }
    if (parseSoftwareVersion(answer, sizeof answer, record) != kParseOk)
        return kFfDeviceIdentityUnreadable;
    return kFfOk;
}

// B - A of the first differing value, 0 when all are equal. The values come from texts a device
// or package supplied, so the difference is held to the int32 range with its sign kept.
int32_t firstDifference(const int32_t* valuesA, const int32_t* valuesB, size_t count) {
    for (size_t index = 0; index < count; ++index) {
        if (valuesA[index] != valuesB[index]) {
            const int64_t difference = static_cast<int64_t>(valuesB[index]) - valuesA[index];
            return static_cast<int32_t>(std::clamp<int64_t>(difference,
                                                            std::numeric_limits<int32_t>::min(),
                                                            std::numeric_limits<int32_t>::max()));
        }
    }
    return 0;
}

void readVersion(const FfInfoRecord& record, int32_t (&numbers)[3]) {
    // The field may lack its terminator in a record the client filled itself.
    char text[sizeof record.version + 1] = {};
    for (size_t index = 0; index < sizeof record.version && record.version[index] != '\0'; ++index)
        text[index] = record.version[index];
    int major = 0;
    int minor = 0;
    int patch = 0;
    std::sscanf(text, "%d.%d.%d", &major, &minor, &patch);
    numbers[0] = major;
    numbers[1] = minor;
    numbers[2] = patch;
}

} // namespace

FfResult FfGetInfoDevice(const wchar_t*, int32_t kind, const wchar_t* diag, const wchar_t* app,
                         FfInfoRecord* record, int32_t* notNormal) {
    Library& object = library();
    object.log(kLevelInformation, "FfGetInfoDevice");
    object.shareLogger();
    if (record == nullptr) {
        object.setLastError("No information record given");
        return kFfUnknownInfoKind;
    }

    int32_t mode = kFfModeOther;
    if (readDeviceMode(app, diag, mode) != kAtOk) {
        takeSharedError(object);
        return kFfCommandFailed;
    }
    const bool deviceNotNormal = !normalMode(mode);
    if (notNormal != nullptr)
        *notNormal = deviceNotNormal ? 1 : 0;
    if (kind != kFfInfoFirmware && kind != kFfInfoSoftware)
        return kFfUnknownInfoKind;
    if (deviceNotNormal)
        return kFfDeviceNotNormal;
    if (kind == kFfInfoFirmware)
        return readFirmwareInfo(object, diag, app, *record);
    return readSoftwareInfo(object, diag, app, *record);
}

FfResult FfCompareInfo(int32_t kind, const FfInfoRecord* recordA, const FfInfoRecord* recordB,
                       int32_t* difference, int32_t* valid) {
    Library& object = library();
    if (kind != kFfCompareTimeStamp && kind != kFfCompareVersion) {
        object.setLastError("ERROR:Unknown comparison type\n");
        return kFfUnknownComparison;
    }
    if (recordA == nullptr || recordB == nullptr) {
        object.setLastError("ERROR:Missing information record\n");
        return kFfUnknownComparison;
    }
    int32_t result = 0;
    if (kind == kFfCompareTimeStamp) {
        const int32_t stampA[] = {recordA->year, recordA->month,  recordA->day,
                                  recordA->hour, recordA->minute, recordA->second};
        const int32_t stampB[] = {recordB->year, recordB->month,  recordB->day,
                                  recordB->hour, recordB->minute, recordB->second};
        result = firstDifference(stampA, stampB, 6);
    } else {
        int32_t versionA[3];
        int32_t versionB[3];
        readVersion(*recordA, versionA);
        readVersion(*recordB, versionB);
        result = firstDifference(versionA, versionB, 3);
    }
    if (difference != nullptr)
        *difference = result;
    if (valid != nullptr)
        *valid = 1;
    return kFfOk;
}
