#pragma once

// Low-level readers of the firmware package container: the main header, the entry headers and
// the information and file entries. They work on the caller's memory and never read past `end`.

#include "flasher/Ff.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace flasher {

constexpr char kPackageMagic[] = "PCK_ICEFW_KLF";
constexpr size_t kPackageMagicLength = sizeof(kPackageMagic); // the text and its zero byte
constexpr size_t kPackageMainHeaderLength = 17;
constexpr size_t kPackageEntryHeaderLength = 12;
constexpr size_t kPackageFileHeaderLength = 644;
constexpr size_t kPackageFileNameUnits = 256;
constexpr size_t kPackageFileTagUnits = 48;

constexpr uint16_t kEntryTypeInformation = 1;
constexpr uint16_t kEntryTypeFile = 2;

// Results of the readers.
constexpr int kReaderOk = 0;
constexpr int kReaderFormatError = 6;
constexpr int kReaderFileNotFound = 7;

// File types of a file entry.
constexpr uint32_t kFileTypeUnflashedImage = 3;
constexpr uint32_t kFileTypeSoftwareImage = 11;
constexpr uint32_t kFileTypeSoftwareText = 10;
constexpr uint32_t kFileTypeScript = 19;

struct PackageEntryHeader {
    uint16_t type = 0;
    uint16_t reserved = 0;
    uint32_t payloadSize = 0;
    uint32_t checksum = 0;
};

struct PackageFileHeader {
    uint32_t headerLength = 0;
    char name[kPackageFileNameUnits + 1] = {};
    uint32_t fileType = 0;
    uint32_t reserved1 = 0;
    char tag[kPackageFileTagUnits + 1] = {};
    uint32_t dataSize = 0;
    uint16_t checkType = 0;
    uint16_t reserved2 = 0;
    uint32_t word628 = 0;
    uint32_t dataChecksum = 0;
    uint32_t reserved3 = 0;
    uint32_t word640 = 0;
};

uint16_t readLittleEndian16(const uint8_t* bytes);
uint32_t readLittleEndian32(const uint8_t* bytes);

// Every byte XORed into an accumulator that starts at 0.
uint32_t xorBytes(const uint8_t* data, size_t size);

// True when the data starts with the package magic (text and zero byte).
bool hasPackageMagic(const uint8_t* data, size_t length);

// Length of the main header (17), or 0 when the magic does not match or the data is too short.
size_t readMainHeader(const uint8_t* start, const uint8_t* end);

// Reads an entry header and advances the cursor by 12. False (cursor unchanged, a message
// logged) when fewer than 12 bytes remain.
bool readEntryHeader(const uint8_t*& cursor, const uint8_t* end, PackageEntryHeader& header);

// An information entry: 0 with `text` pointing at the payload (not zero-terminated), or 6.
int readInfoEntry(const uint8_t*& cursor, const uint8_t* end, const PackageEntryHeader& header,
                  const uint8_t*& text);

// A file entry: 0 with the file header and `data` pointing at the file data (none for an empty
// file), or 6. The cursor ends past the data.
int readFileEntry(const uint8_t*& cursor, const uint8_t* end, const PackageEntryHeader& header,
                  PackageFileHeader& file, const uint8_t*& data);

// One information or file entry, as walkPackageEntries hands it on.
struct PackageEntry {
    PackageEntryHeader header;
    // An information entry's payload (not zero-terminated; none when empty).
    const uint8_t* text = nullptr;
    PackageFileHeader file;
    // A file entry's data (none for an empty file).
    const uint8_t* data = nullptr;
};

// How walkPackageEntries ended.
enum class PackageWalk {
    Ended,        // the cursor reached the end
    Stopped,      // the visitor asked to stop
    FormatError,  // an entry header or entry did not read (the reader logged why)
    UnknownEntry, // an entry of another type: its header read, the cursor at its payload
};

// Reads the entries from `cursor` up to `end` and hands every information and file entry to
// `visit`, which returns false to stop after it. `unknown` receives the header of an entry of
// another type, where the walk ends so that the caller decides what such an entry means.
PackageWalk walkPackageEntries(const uint8_t*& cursor, const uint8_t* end,
                               const std::function<bool(const PackageEntry&)>& visit,
                               PackageEntryHeader& unknown);

// Walks the package for the first file of `fileType`: 0 with its data and header, 6 on a
// format error, 7 when there is none. Without a main header the walk starts at the cursor.
int findPackageFile(const uint8_t*& cursor, size_t length, uint32_t fileType,
                    PackageFileHeader& file, const uint8_t*& data);

} // namespace flasher
