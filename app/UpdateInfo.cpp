#include "app/UpdateInfo.h"

#include <cstdio>
#include <cstring>

namespace {

// The record's texts are fixed-size arrays; never read past them even when unterminated.
std::string boundedText(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

} // namespace

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
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d", record.year, record.month,
                  record.day, record.hour, record.minute, record.second);
    detail = stamp;
}

void VersionInfo::fillSoftware(const FfInfoRecord& record) {
    copyRecord(record);
    detail = boundedText(record.description, sizeof record.description);
}
