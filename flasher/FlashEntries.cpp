#include "flasher/Ff.h"

#include "flasher/DeviceOperations.h"
#include "flasher/DownloadImage.h"
#include "flasher/Library.h"
#include "flasher/PackageImageList.h"
#include "flasher/PackageInfo.h"
#include "flasher/PackageReader.h"
#include "flasher/ScriptRunner.h"

#include <algorithm>
#include <cmath>
#include <vector>

using namespace flasher;

namespace {

struct ImageSelection {
    uint32_t fileType;
    double downloadWeight;
    double programmingWeight;
};

constexpr ImageSelection kSelections[] = {
    {1, 0.8, 0.2},  {5, 0.3, 0.7},  {7, 0.5, 0.5},  {9, 0.2, 0.8},
    {11, 1.0, 0.0}, {13, 1.0, 0.0}, {15, 0.2, 0.8},
};

// CBC byte 4 switches the selection on; bytes 0 to 3 then enable types 1, 5, 7 and 9.
constexpr size_t kCbcSelectionSwitch = 4;

bool selected(const uint8_t (&cbcSettings)[kCbcSettingCount], uint32_t fileType,
              bool updateSoftware) {
    const auto enabledBy = [&](size_t byte) {
        return cbcSettings[kCbcSelectionSwitch] == 0 || cbcSettings[byte] != 0;
    };
    switch (fileType) {
    case 1:
        return enabledBy(0);
    case 5:
        return enabledBy(1);
    case 7:
        return enabledBy(2);
    case 9:
        return enabledBy(3);
    case 11:
        return updateSoftware;
    case 13:
    case 15:
        return true;
    default:
        return false;
    }
}

const ImageSelection* selectionFor(uint32_t fileType) {
    for (const ImageSelection& selection : kSelections) {
        if (selection.fileType == fileType)
            return &selection;
    }
    return nullptr;
}

// After FfCancel no flashing call starts anything on the device.
FfResult cancelled(Library& object) {
    object.setLastError("Flashing cancelled");
    object.log(kLevelInformation, "Flashing cancelled");
    return kFfCancelled;
}

// Whether the selection, with every firmware image enabled (the settings of a device whose CBC
// switch is off), takes an image of `images` for one requested part.
bool anySelectable(const std::vector<ImageListEntry>& images, bool updateSoftware) {
    constexpr uint8_t kSelectionSwitchOff[kCbcSettingCount] = {};
    return std::any_of(images.begin(), images.end(), [&](const ImageListEntry& entry) {
        return selectionFor(entry.fileType) != nullptr &&
               selected(kSelectionSwitchOff, entry.fileType, updateSoftware);
    });
}

} // namespace

FfResult FfGetInfoPck(const wchar_t*, int32_t kind, const uint8_t* data, uint32_t length,
                      FfInfoRecord* record) {
    Library& object = library();
    object.shareLogger();
    FfInfoRecord scratch;
    return readPackageInfo(kind, data, length, record ? *record : scratch);
}

FfResult FfCheckImages(const wchar_t*, bool updateFirmware, bool updateSoftware,
                       const uint8_t* data, uint32_t length) {
    Library& object = library();
    object.shareLogger();
    // A list of its own: the library's list and cursor belong to the flash in progress.
    std::vector<ImageListEntry> images;
    uint32_t total = 0;
    const FfResult built = collectImages(data, length, images, total);
    if (built != kFfOk)
        return built;
    // The firmware part is what the selection takes without the software flag; the software
    // part may take more (type 11), and the firmware images as well.
    const bool firmwareFound = !updateFirmware || anySelectable(images, false);
    const bool softwareFound = !updateSoftware || anySelectable(images, true);
    if (firmwareFound && softwareFound)
        return kFfOk;
    object.setLastError("No image to flash for the %s in the package",
                        firmwareFound ? "software" : "firmware");
    object.log(kLevelError, "%s", object.lastError());
    return kFfPackageFormatError;
}

FfResult FfPreFlash(const wchar_t*, const wchar_t* diag, const wchar_t* app,
                    FfProgressCallback callback, void* context) {
    Library& object = library();
    object.log(kLevelInformation, "FfPreFlash");
    object.shareLogger();
    if (object.cancelled)
        return cancelled(object);
    object.progressCallback = callback;
    object.progressContext = context;
    object.notify(kFfProgressPreFlashStart, 0);

    int32_t mode = 0;
    if (readDeviceMode(app, diag, mode) != 0) {
        object.setLastError("%s", sharedLogger().lastError());
        return kFfPortOrModeFailed;
    }
    if (mode == kFfModeLoader) {
        object.state = kStateLoader;
        return kFfOk;
    }
    if (mode == kFfModeNoFlash)
        return kFfDeviceInMode3;
    object.notify(kFfProgressModeSwitch, 0);
    if (setDeviceMode(app, diag, kFfModeLoader) != 0) {
        object.setLastError("%s", sharedLogger().lastError());
        return kFfPortOrModeFailed;
    }
    object.state = kStateLoader;
    return kFfModeChanging;
}

FfResult FfFlash(const wchar_t*, const wchar_t* diag, const wchar_t* app, bool /*updateFirmware*/,
                 bool updateSoftware, const uint8_t* data, uint32_t length,
                 FfProgressCallback callback, void* context) {
    Library& object = library();
    object.log(kLevelInformation, "FfFlash");
    object.shareLogger();
    if (object.cancelled)
        return cancelled(object);
    object.progressCallback = callback;
    object.progressContext = context;

    // After a failure the CBC bytes are all 0, which selects every image.
    loadCbcSettings(app, diag);

    if (object.state == kStateLoader) {
        const FfResult built = buildImageList(data, length);
        if (built != kFfOk)
            return built;
        object.imageCursor = 0;
    }
    object.notify(kFfProgressFlashStart, 0);

    for (; object.imageCursor < object.imageList.size(); ++object.imageCursor) {
        const ImageListEntry& entry = object.imageList[object.imageCursor];
        const ImageSelection* selection = selectionFor(entry.fileType);
        if (selection == nullptr || !selected(object.cbcSettings, entry.fileType, updateSoftware))
            continue;
        object.downloadWeight = selection->downloadWeight;
        object.programmingWeight = selection->programmingWeight;
        object.share = object.imageTotal == 0
                           ? 0
                           : static_cast<int32_t>(std::ceil(static_cast<double>(entry.size) *
                                                            100.0 / object.imageTotal));
        const FfResult result = downloadImage(diag, entry.data, entry.size);
        if (result != kFfOk)
            return result;
    }

    ensureModemMode(app, diag, callback, context);
    return kFfOk;
}

FfResult FfPostFlash(const wchar_t*, const wchar_t* diag, const wchar_t* app, const char* script,
                     uint32_t length, FfProgressCallback, void*) {
    Library& object = library();
    object.log(kLevelInformation, "FfPostFlash");
    object.shareLogger();
    if (object.cancelled)
        return cancelled(object);

    const char* text = script;
    size_t textLength = script ? length : 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(script);
    if (hasPackageMagic(bytes, textLength)) {
        const uint8_t* cursor = bytes;
        PackageFileHeader file;
        const uint8_t* fileData = nullptr;
        if (findPackageFile(cursor, textLength, kFileTypeScript, file, fileData) != kReaderOk) {
            object.setLastError("No customisation script in the package");
            return kFfNoScriptInPackage;
        }
        text = reinterpret_cast<const char*>(fileData);
        textLength = fileData ? file.dataSize : 0;
    }

    ScriptRunner runner;
    runner.takeLoggerOf(object);
    const FfResult result = runner.run(text, textLength, app, diag);
    if (result != kFfOk)
        object.setLastError("%s", runner.lastError());
    return result;
}
