#include "app/UpdateInfo.h"

#include <cstdio>
#include <cstring>

namespace {

// The record's texts are fixed-size arrays; never read past them even when unterminated.
std::string boundedText(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

} // namespace

const char* const kSupportedLmCodes[] = {"QT0880-27315", nullptr};

std::wstring flasherModel(int32_t model) {
    return std::to_wstring(model);
}

void VersionPair::set(const std::string& value) {
    previousText = currentText;
    currentText = value;
}

std::string VersionPair::logForm() const {
    if (currentText.empty())
        return "--";
    std::string form = "v" + currentText;
    if (!previousText.empty())
        form += "[v" + previousText + "]";
    return form;
}

void VersionInfo::copyRecord(const FfInfoRecord& record) {
    valid = true;
    raw = record;
    version.set(boundedText(record.version, sizeof record.version));
}

void VersionInfo::fillFirmware(const FfInfoRecord& record) {
    copyRecord(record);
    char stamp[96]; // room for six full-width integers
    std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d", record.year, record.month,
                  record.day, record.hour, record.minute, record.second);
    detail = stamp;
}

void VersionInfo::fillSoftware(const FfInfoRecord& record) {
    copyRecord(record);
    detail = boundedText(record.description, sizeof record.description);
}

namespace {

constexpr size_t kDescriptionLogLength = 20;
constexpr size_t kDescriptionLogCut = 17;
constexpr int kHintBitsLogged = 6;

std::string quotedPairForm(const std::string& text) {
    VersionPair pair;
    pair.set(text);
    return " \"" + pair.logForm() + "\"";
}

} // namespace

std::string firmwareLogForm(const VersionInfo& firmware) {
    std::string form = "(fw " + firmware.version.logForm();
    if (!firmware.detail.empty())
        form += " \"" + firmware.detail + "\"";
    return form + ")";
}

std::string softwareLogForm(const VersionInfo& software) {
    const std::string version = software.version.logForm();
    std::string form = "(sw " + (version == "--" ? version : "\"" + version + "\"");
    if (!software.detail.empty()) {
        std::string description = software.detail;
        if (description.size() > kDescriptionLogLength)
            description = description.substr(0, kDescriptionLogCut) + "...";
        form += " \"" + description + "\"";
    }
    return form + ")";
}

std::string hintsLogForm(uint32_t hints) {
    std::string form = "(hints";
    for (int bit = 0; bit < kHintBitsLogged; ++bit)
        if ((hints & (1u << bit)) != 0)
            form += " " + std::to_string(bit);
    return form + ")";
}

std::string deviceLogForm(const UpdateInfo& info) {
    std::string form = "(device";
    if (!info.modelName.empty())
        form += quotedPairForm(info.modelName);
    if (!info.lmCode.empty())
        form += quotedPairForm(info.lmCode);
    if (info.recovery)
        form += " recovery";
    if (info.fwUpdate)
        form += " fw-update";
    if (info.fwRecovery)
        form += " fw-recovery";
    if (info.swUpdate)
        form += " sw-update";
    form += " " + firmwareLogForm(info.deviceFirmware) + " " + softwareLogForm(info.deviceSoftware);
    return form + "), Vendor Id: " + std::to_string(info.vendorId) +
           ", Product Id: " + std::to_string(info.productId);
}

std::string updateLogForm(const UpdateInfo& info) {
    return "(update " + deviceLogForm(info) + " (pck " + firmwareLogForm(info.package.firmware) +
           " " + softwareLogForm(info.package.software) + ") " + hintsLogForm(info.hints.load()) +
           ")";
}
