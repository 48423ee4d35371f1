#include "flasher/PackageReader.h"

#include "flasher/Library.h"

#include <cstring>
#include <string>

namespace flasher {
namespace {

constexpr size_t kFileNameOffset = 4;
constexpr size_t kFileTypeOffset = 516;
constexpr size_t kFileReserved1Offset = 520;
constexpr size_t kFileTagOffset = 524;
constexpr size_t kFileDataSizeOffset = 620;
constexpr size_t kFileCheckTypeOffset = 624;
constexpr size_t kFileReserved2Offset = 626;
constexpr size_t kFileWord628Offset = 628;
constexpr size_t kFileDataChecksumOffset = 632;
constexpr size_t kFileReserved3Offset = 636;
constexpr size_t kFileWord640Offset = 640;
constexpr uint16_t kCheckTypeXorBytes = 0;

// The readers' messages go whole and unfiltered to the sink that FfInitialise installed; the
// message is cut at its first zero character, like any C text.
void readerLog(const std::string& message) {
    const FfLogSink sink = library().packageReaderSink;
    if (!sink)
        return;
    wchar_t wide[kLoggerTextSize];
    toWide(message.c_str(), wide, kLoggerTextSize);
    sink(wide);
}

size_t remaining(const uint8_t* cursor, const uint8_t* end) {
    return cursor < end ? static_cast<size_t>(end - cursor) : 0;
}

// UTF-16LE units reduced to their low bytes; the result stops at the first zero unit.
void readNarrowedText(const uint8_t* units, size_t count, char* out) {
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<char>(units[2 * i]);
    out[count] = '\0';
}

} // namespace

uint16_t readLittleEndian16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t readLittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

uint32_t xorBytes(const uint8_t* data, size_t size) {
    uint8_t accumulator = 0;
    for (size_t i = 0; i < size; ++i)
        accumulator ^= data[i];
    return accumulator;
}

bool hasPackageMagic(const uint8_t* data, size_t length) {
    return data && length >= kPackageMagicLength &&
           std::memcmp(data, kPackageMagic, kPackageMagicLength) == 0;
}

size_t readMainHeader(const uint8_t* start, const uint8_t* end) {
    const size_t length = remaining(start, end);
    if (!hasPackageMagic(start, length) || length < kPackageMainHeaderLength) {
        // Quote what stands where the magic should be, never more than the magic's length.
        std::string found;
        for (size_t i = 0; i < length && i < kPackageMagicLength && start[i] != 0; ++i)
            found.push_back(static_cast<char>(start[i]));
        readerLog("Error: wrong Magic ID (" + found + ") ");
        readerLog(std::string("Expected Magic ID: ") + kPackageMagic);
        return 0;
    }
    readerLog(std::string("Package generated with tool version: ") +
              static_cast<char>(start[kPackageMagicLength]) + "." +
              static_cast<char>(start[kPackageMagicLength + 1]));
    readerLog(std::string("Chip Set family set to: ") +
              static_cast<char>(start[kPackageMagicLength + 2]));
    return kPackageMainHeaderLength;
}

bool readEntryHeader(const uint8_t*& cursor, const uint8_t* end, PackageEntryHeader& header) {
    if (remaining(cursor, end) < kPackageEntryHeaderLength) {
        readerLog("Error: package entry header truncated");
        return false;
    }
    header.type = readLittleEndian16(cursor);
    header.reserved = readLittleEndian16(cursor + 2);
    header.payloadSize = readLittleEndian32(cursor + 4);
    header.checksum = readLittleEndian32(cursor + 8);
    cursor += kPackageEntryHeaderLength;
    return true;
}

int readInfoEntry(const uint8_t*& cursor, const uint8_t* end, const PackageEntryHeader& header,
                  const uint8_t*& text) {
    text = nullptr;
    if (header.type != kEntryTypeInformation) {
        readerLog("Error file format not recognised.");
        return kReaderFormatError;
    }
    if (header.payloadSize == 0) {
        readerLog("Warning:no description available");
        return kReaderOk;
    }
    if (header.payloadSize > remaining(cursor, end)) {
        readerLog("Error: entry size exceeds the package");
        return kReaderFormatError;
    }
    text = cursor;
    if (xorBytes(cursor, header.payloadSize) != header.checksum) {
        readerLog("Error: Data corrupted. Wrong CheckSum\n");
        return kReaderFormatError;
    }
    cursor += header.payloadSize;
    return kReaderOk;
}

int readFileEntry(const uint8_t*& cursor, const uint8_t* end, const PackageEntryHeader& header,
                  PackageFileHeader& file, const uint8_t*& data) {
    data = nullptr;
    if (header.type != kEntryTypeFile) {
        readerLog("Error file format not recognized.\n");
        return kReaderFormatError;
    }
    if (header.payloadSize < kPackageFileHeaderLength ||
        header.payloadSize > remaining(cursor, end)) {
        readerLog("Error: entry size exceeds the package");
        return kReaderFormatError;
    }
    const uint8_t* fields = cursor;
    file.headerLength = readLittleEndian32(fields);
    readNarrowedText(fields + kFileNameOffset, kPackageFileNameUnits, file.name);
    file.fileType = readLittleEndian32(fields + kFileTypeOffset);
    file.reserved1 = readLittleEndian32(fields + kFileReserved1Offset);
    readNarrowedText(fields + kFileTagOffset, kPackageFileTagUnits, file.tag);
    file.dataSize = readLittleEndian32(fields + kFileDataSizeOffset);
    file.checkType = readLittleEndian16(fields + kFileCheckTypeOffset);
    file.reserved2 = readLittleEndian16(fields + kFileReserved2Offset);
    file.word628 = readLittleEndian32(fields + kFileWord628Offset);
    file.dataChecksum = readLittleEndian32(fields + kFileDataChecksumOffset);
    file.reserved3 = readLittleEndian32(fields + kFileReserved3Offset);
    file.word640 = readLittleEndian32(fields + kFileWord640Offset);
    const uint8_t* const fileData = cursor + kPackageFileHeaderLength;

    if (file.dataSize == 0) {
        cursor = fileData;
        readerLog(std::string("Warning:no content available: ") + file.name +
                  " will be generated empty");
        return kReaderOk;
    }
    if (file.dataSize > header.payloadSize - kPackageFileHeaderLength) {
        cursor = fileData;
        readerLog(std::string("Error: file data exceeds its entry: ") + file.name);
        return kReaderFormatError;
    }
    cursor = fileData;
    if (file.checkType != kCheckTypeXorBytes) {
        readerLog(std::string("Error:check mode not supported File: ") + file.name +
                  "check type =" + std::to_string(file.checkType));
        return kReaderFormatError;
    }
    if (xorBytes(fileData, file.dataSize) != file.dataChecksum) {
        readerLog("Error: Data corrupted. Wrong CheckSum ");
        return kReaderFormatError;
    }
    data = fileData;
    cursor = fileData + file.dataSize;
    return kReaderOk;
}

PackageWalk walkPackageEntries(const uint8_t*& cursor, const uint8_t* end,
                               const std::function<bool(const PackageEntry&)>& visit,
                               PackageEntryHeader& unknown) {
    while (cursor < end) {
        PackageEntry entry;
        if (!readEntryHeader(cursor, end, entry.header))
            return PackageWalk::FormatError;
        if (entry.header.type == kEntryTypeInformation) {
            if (readInfoEntry(cursor, end, entry.header, entry.text) != kReaderOk)
                return PackageWalk::FormatError;
        } else if (entry.header.type == kEntryTypeFile) {
            if (readFileEntry(cursor, end, entry.header, entry.file, entry.data) != kReaderOk)
                return PackageWalk::FormatError;
        } else {
            unknown = entry.header;
            return PackageWalk::UnknownEntry;
        }
        if (!visit(entry))
            return PackageWalk::Stopped;
    }
    return PackageWalk::Ended;
}

int findPackageFile(const uint8_t*& cursor, size_t length, uint32_t fileType,
                    PackageFileHeader& file, const uint8_t*& data) {
    data = nullptr;
    const uint8_t* const start = cursor;
    const uint8_t* const end = start + length;
    const size_t headerLength = readMainHeader(start, end);
    if (headerLength == 0)
        readerLog("No main header found, may be in the midlle of a pck continue searching");
    cursor = start + headerLength;

    PackageEntryHeader unknown;
    const PackageWalk walk = walkPackageEntries(
        cursor, end,
        [&](const PackageEntry& entry) {
            if (entry.header.type != kEntryTypeFile || entry.file.fileType != fileType)
                return true;
            file = entry.file;
            data = entry.data;
            return false;
        },
        unknown);
    switch (walk) {
    case PackageWalk::Stopped:
        return kReaderOk;
    case PackageWalk::FormatError:
        readerLog("Wrong File Format");
        return kReaderFormatError;
    case PackageWalk::UnknownEntry:
        readerLog("Warning: Unknown package entry");
        return kReaderFormatError;
    case PackageWalk::Ended:
        break;
    }
    readerLog("Warning: No file found.");
    return kReaderFileNotFound;
}

} // namespace flasher
