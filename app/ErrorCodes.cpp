#include "app/ErrorCodes.h"

#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <vector>

namespace Kestrel {
namespace {

constexpr uint32_t kNoFirmwareForDevice = 0x2000000F;
constexpr uint32_t kWarningClass = 0x1001;

// Texts of the result dialog.
constexpr const char* kNotSupported = "Your device is not supported by this application.";
constexpr const char* kStartupError =
    "There was an unrecoverable error during application start-up.";
constexpr const char* kNoFirmware =
    "There is no firmware available for the currently inserted device.";
constexpr const char* kCannotUpdate = "The currently inserted device can not be updated.";
constexpr const char* kPackageProblem =
    "There was an unrecoverable problem when checking the firmware package.";
constexpr const char* kCompleted = "Update completed!";
constexpr const char* kSoftwareError =
    "There was an error preventing software installation to take place.";
constexpr const char* kTerminated = "The updating process was terminated without being complete.";
constexpr const char* kIncomplete =
    "There was an error while updating your device. The update of the device is incomplete.";

constexpr const char* kHintStartupNotSupported =
    "The device can not be updated. Please contact your vendor's support to get a suitable "
    "version. The application will quit.";
constexpr const char* kHintStartupError =
    "An error was encountered that can not be resolved (error code %X). The application will "
    "quit.";
constexpr const char* kHintNotSupported =
    "The device is not supported by this application. Please contact your vendor's support "
    "(error code %X).";
constexpr const char* kHintNoFirmware =
    "The firmware of the device can not be updated by this application. Please contact your "
    "vendor's support (error code %X).";
constexpr const char* kHintEjectAndRetry =
    "Eject the device and try again. If the problem persists, contact your vendor's support "
    "(error code %X).";
constexpr const char* kHintBrokenPackage =
    "The firmware package seems to be broken and can not be used to update the device (error "
    "code %X). The application will quit.";
constexpr const char* kHintRepeat = "Please repeat the update in order to finalise this process.";
constexpr const char* kHintEjected =
    "The device was ejected while the update was in progress. The device may be unusable. Try "
    "again to update the device.";
constexpr const char* kHintUpdateError =
    "An error (code %X) prevented the update to complete. The device may be unusable. Try again "
    "to update the device. If the problem persists, contact your supplier's support.";
constexpr const char* kHintSuccess = "The update was completed successfully.";
constexpr const char* kHintRemoveDevice =
    "To complete the update, the device needs to be removed from the computer.";
constexpr const char* kHintRemoveAfterSoftware =
    "After installing software, remove the device from your computer to complete the update.";
constexpr const char* kHintSoftwareNotUpdated =
    "The software on your computer was not updated (error code %X).";
constexpr const char* kHintFirmwareChanged =
    "The firmware was changed from version %s to version %s.";

// Codes of a failed software installation.
bool isSoftwareFailure(int32_t code) {
    return code == 278 || code == 280 || code == 281 || code == 308;
}

bool isOneOf(int32_t code, std::initializer_list<int32_t> codes) {
    for (int32_t candidate : codes)
        if (code == candidate)
            return true;
    return false;
}

// An empty text never differs.
bool differ(const std::string& a, const std::string& b) {
    return !a.empty() && !b.empty() && a != b;
}

std::wstring identityLookup(const char* message) {
    return widen(message);
}

std::atomic<TranslationLookup> installedLookup{&identityLookup};

// Fills a translated text: "%X" takes the code in upper-case hexadecimal, each "%s" the next
// text, "%%" a percent sign. The substitution is done by hand so that a catalog text can never
// act as a format string.
std::wstring fill(const std::wstring& text, int32_t code,
                  const std::vector<std::string>& texts = {}) {
    std::wstring out;
    size_t nextText = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const wchar_t directive = text[i + 1];
        if (directive == L'X') {
            wchar_t digits[16];
            std::swprintf(digits, 16, L"%X", static_cast<uint32_t>(code));
            out += digits;
        } else if (directive == L's') {
            if (nextText < texts.size())
                out += widen(texts[nextText++]);
        } else if (directive == L'%') {
            out += L'%';
        } else {
            out += text[i];
            continue;
        }
        ++i;
    }
    return out;
}

std::wstring translated(const char* message, int32_t code) {
    return fill(translate(message), code);
}

// Sentences translated one by one and joined with single blanks.
std::wstring joined(const std::vector<std::wstring>& sentences) {
    std::wstring out;
    for (const auto& sentence : sentences) {
        if (!out.empty())
            out += L' ';
        out += sentence;
    }
    return out;
}

} // namespace

void setTranslationLookup(TranslationLookup lookup) {
    installedLookup.store(lookup != nullptr ? lookup : &identityLookup);
}

std::wstring translate(const char* message) {
    return installedLookup.load()(message);
}

bool isWarningClass(int32_t code) {
    return (static_cast<uint32_t>(code) >> 16) == kWarningClass;
}

namespace {

std::wstring descriptionWith(TranslationLookup translate, int kind, int32_t code) {
    const uint32_t value = static_cast<uint32_t>(code);
    switch (kind) {
    case kDialogInitFailure:
        return translate(code == kResultLmCodeNotSupported ? kNotSupported : kStartupError);
    case kDialogDeviceUnusable:
        if (code == kResultLmCodeNotSupported)
            return translate(kNotSupported);
        if (value == kNoFirmwareForDevice)
            return translate(kNoFirmware);
        return translate(isWarningClass(code) ? kPackageProblem : kCannotUpdate);
    case kDialogUpdateFailure:
    case kDialogUpdateSuccess:
        if (isOneOf(code, {kResultOk, kResultRecoveryComplete, kResultInstallSoftwareComplete}))
            return translate(kCompleted);
        if (isSoftwareFailure(code))
            return translate(kSoftwareError);
        if (code == kResultEjected)
            return translate(kTerminated);
        return translate(kIncomplete);
    default:
        return {};
    }
}

} // namespace

std::wstring description(int kind, int32_t code) {
    return descriptionWith(installedLookup.load(), kind, code);
}

std::wstring englishDescription(int kind, int32_t code) {
    return descriptionWith(&identityLookup, kind, code);
}

std::wstring hint(int kind, int32_t code, const std::string& firmwarePrevious,
                  const std::string& firmwareCurrent, const std::string& softwarePrevious,
                  const std::string& softwareCurrent) {
    const uint32_t value = static_cast<uint32_t>(code);
    switch (kind) {
    case kDialogInitFailure:
        if (code == kResultLmCodeNotSupported)
            return translate(kHintStartupNotSupported);
        return translated(kHintStartupError, code);
    case kDialogDeviceUnusable:
        if (code == kResultLmCodeNotSupported)
            return translated(kHintNotSupported, code);
        if (value == kNoFirmwareForDevice)
            return translated(kHintNoFirmware, code);
        return translated(isWarningClass(code) ? kHintBrokenPackage : kHintEjectAndRetry, code);
    case kDialogUpdateFailure:
    case kDialogUpdateSuccess: {
        const bool firmwareChanged = differ(firmwarePrevious, firmwareCurrent);
        std::vector<std::wstring> sentences;
        if (code == kResultRecoveryComplete)
            return translate(kHintRepeat);
        if (code == kResultEjected)
            return translate(kHintEjected);
        if (code == kResultOk) {
            if (firmwareChanged || differ(softwarePrevious, softwareCurrent))
                sentences.push_back(translate(kHintSuccess));
            sentences.push_back(translate(kHintRemoveDevice));
        } else if (code == kResultInstallSoftwareComplete) {
            if (firmwareChanged)
                sentences.push_back(translate(kHintSuccess));
            sentences.push_back(translate(kHintRemoveAfterSoftware));
        } else if (isSoftwareFailure(code)) {
            sentences.push_back(translated(kHintSoftwareNotUpdated, code));
            if (firmwareChanged)
                sentences.push_back(fill(translate(kHintFirmwareChanged), code,
                                         {firmwarePrevious, firmwareCurrent}));
            sentences.push_back(translate(kHintRemoveDevice));
        } else {
            return translated(kHintUpdateError, code);
        }
        return joined(sentences);
    }
    default:
        return {};
    }
}

CloseClass closeClass(int32_t code, int kind) {
    switch (kind) {
    case kDialogInitFailure:
        return kCloseQuit;
    case kDialogDeviceUnusable:
        return code == kResultLmCodeNotSupported || isWarningClass(code) ? kCloseQuit : kCloseRetry;
    case kDialogUpdateFailure:
        return code == kResultRecoveryComplete ? kCloseRetry : kCloseQuit;
    case kDialogUpdateSuccess:
        return kCloseSuccess;
    default:
        return kCloseNone;
    }
}

int mapExitCode(int32_t code) {
    if (isOneOf(code, {0, 265, 266}))
        return 0;
    if (isOneOf(code, {258, 260, 264, 267, 268, 269, 273, 274, 275, 276, 277, 279, 282, 283}))
        return 2;
    if (isOneOf(code, {278, 280, 281, 307, 308, 312, 314}))
        return 3;
    if (isOneOf(code, {259, 270, 271, 272}))
        return 4;
    if (code == 295 || (code >= 297 && code <= 306))
        return 5;
    return 1;
}

std::wstring widen(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t point = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07;
        }
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && point >= kSmallest[length] && point <= 0x10FFFF &&
                (point < 0xD800 || point > 0xDFFF);
        if (!valid) {
            out += static_cast<wchar_t>(0xFFFD);
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(point);
        i += length;
    }
    return out;
}

} // namespace Kestrel
