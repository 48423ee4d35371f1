#include "flasher/PackageInfo.h"

#include "flasher/InfoParsers.h"
#include "flasher/Library.h"
#include "flasher/PackageReader.h"
#include "flasher/WrappedImage.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace flasher {
namespace {

constexpr size_t kDescriptionCapacity = sizeof(FfInfoRecord::description);
constexpr size_t kVersionCapacity = sizeof(FfInfoRecord::version);
constexpr char kRestrictionKey[] = "RSTR:";
constexpr char kRestrictionKeyLower[] = "rstr:";
constexpr size_t kRestrictionKeyLength = sizeof(kRestrictionKey) - 1;

FfResult formatError(Library& object, const char* text) {
    object.setLastError("%s", text);
    object.log(kLevelError, "%s", text);
    return kFfPackageFormatError;
}

// The first whitespace-free word of the version bytes.
void copyFirstWord(const uint8_t* bytes, size_t count, char* out, size_t capacity) {
    size_t i = 0;
    while (i < count && bytes[i] != 0 && std::isspace(bytes[i]))
        ++i;
    size_t written = 0;
    while (i < count && bytes[i] != 0 && !std::isspace(bytes[i]) && written + 1 < capacity)
        out[written++] = static_cast<char>(bytes[i++]);
    out[written] = '\0';
}

// The text after "RSTR:" (or "rstr:"), at most 127 characters; the record is left alone
// without one. The file data is copied once to be searched as a zero-terminated text.
void readRestriction(const uint8_t* data, size_t size, FfInfoRecord& record) {
    if (!data)
        return;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* start = text.c_str();
    const char* found = std::strstr(start, kRestrictionKey);
    if (!found)
        found = std::strstr(start, kRestrictionKeyLower);
    if (!found)
        return;
    std::snprintf(record.description, kDescriptionCapacity, "%s", found + kRestrictionKeyLength);
}

} // namespace

const uint8_t* softwareVersionBytes(const uint8_t* image, size_t size) {
    WrappedHeader header;
    const int parsed = parseWrappedHeader(image, size, header);
    if (parsed == kWrappedHeaderUnknownMagic || parsed == kWrappedHeaderTruncated)
        return nullptr;
    if (header.payloadSize < kSoftwareVersionTrailingBytes ||
        header.payloadSize - kSoftwareVersionTrailingBytes < kSoftwareVersionOffset)
        return nullptr;
    const uint64_t last = static_cast<uint64_t>(header.headerLength) + kSoftwareVersionOffset +
                          kSoftwareVersionLength;
    if (last > size)
        return nullptr;
    return image + header.headerLength + kSoftwareVersionOffset;
}

namespace {

// What one entry adds to the record for `kind`: kFfOk to read on, or the code that ends the read.
FfResult readEntryInfo(Library& object, int32_t kind, const PackageEntry& entry,
                       FfInfoRecord& record, bool& firmwareFound, bool& softwareFound) {
    if (entry.header.type == kEntryTypeInformation) {
        if (kind != kPackageInfoFirmware)
            return kFfOk;
        // The text carries no terminating zero: the parser is bounded by the payload.
        const char* chars = reinterpret_cast<const char*>(entry.text);
        if (!entry.text || parseIdentity(chars, entry.header.payloadSize, record) != kParseOk)
            return formatError(object, "Parse FW info error");
        firmwareFound = true;
        return kFfOk;
    }
    if (kind != kPackageInfoSoftware)
        return kFfOk;
    if (entry.file.fileType == kFileTypeSoftwareImage) {
        const uint8_t* version = softwareVersionBytes(entry.data, entry.file.dataSize);
        if (!version)
            return kFfNoPackageSoftwareInfo;
        copyFirstWord(version, kSoftwareVersionLength, record.version, kVersionCapacity);
        softwareFound = true;
    } else if (entry.file.fileType == kFileTypeSoftwareText) {
        readRestriction(entry.data, entry.file.dataSize, record);
    }
    return kFfOk;
}

} // namespace

FfResult readPackageInfo(int32_t kind, const uint8_t* data, size_t length, FfInfoRecord& record) {
    Library& object = library();
    object.log(kLevelInformation, "FfGetInfoPck");
    std::memset(&record, 0, sizeof record);
    bool firmwareFound = false;
    bool softwareFound = false;

    const uint8_t* const end = data ? data + length : data;
    const size_t mainHeader = data ? readMainHeader(data, end) : 0;
    if (mainHeader == 0)
        return formatError(object, "Problems getting main pck header");

    const uint8_t* cursor = data + mainHeader;
    FfResult result = kFfOk;
    PackageEntryHeader unknown;
    const PackageWalk walk = walkPackageEntries(
        cursor, end,
        [&](const PackageEntry& entry) {
            result = readEntryInfo(object, kind, entry, record, firmwareFound, softwareFound);
            return result == kFfOk;
        },
        unknown);
    if (walk == PackageWalk::Stopped)
        return result;
    if (walk != PackageWalk::Ended)
        return formatError(object, "Wrong File Format");
    if (kind == kPackageInfoFirmware && !firmwareFound)
        return kFfNoPackageFirmwareInfo;
    if (kind == kPackageInfoSoftware && !softwareFound)
        return kFfNoPackageSoftwareInfo;
    return kFfOk;
}

} // namespace flasher
