#pragma once

// Builds wrapped firmware images and firmware packages byte for byte, deterministically. Used by
// kestrel-pck and by the tests that need well-formed or deliberately broken packages.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tools {

using Bytes = std::vector<uint8_t>;

void appendLittleEndian16(Bytes& out, uint16_t value);
void appendLittleEndian32(Bytes& out, uint32_t value);
void writeLittleEndian32(Bytes& out, size_t offset, uint32_t value);

// The words of a wrapped header that the builder does not compute. The header checksum (all
// words XOR to 0) is balanced in the last word.
struct WrappedImageSpec {
    uint32_t magic = 0x1CE8040A;
    uint32_t word12 = 0x88000000;
    uint32_t kind = 0x01000000;
    uint32_t word20 = 1;
    uint32_t word24 = 0;
};

constexpr size_t kWrappedHeaderSize = 64;

Bytes buildWrappedImage(const WrappedImageSpec& spec, const Bytes& payload);

// One entry of a package: its type and payload. The entry checksum is computed when built.
struct PackageEntry {
    uint16_t type = 0;
    Bytes payload;
    // Replaces the computed entry checksum (for broken packages).
    std::optional<uint32_t> checksumOverride;
};

struct PackageFileSpec {
    uint32_t fileType = 9;
    std::string name;
    std::string tag;
    uint16_t checkType = 0;
    uint32_t word628 = 4;
    uint32_t word640 = 0;
    Bytes data;
    // Replaces the computed data checksum (for broken packages).
    std::optional<uint32_t> dataChecksumOverride;
    // When set, the low byte of the word at 640 is chosen so that the entry checksum (the XOR
    // of the whole payload) takes this value.
    std::optional<uint8_t> entryChecksumTarget;
};

PackageEntry informationEntry(const std::string& text);
PackageEntry fileEntry(const PackageFileSpec& file);

struct PackageSpec {
    uint8_t toolMajor = 0;
    uint8_t toolMinor = 3;
    uint8_t chipSetFamily = 0xFF;
    std::vector<PackageEntry> entries;
};

Bytes buildPackage(const PackageSpec& spec);

// The payload layout of a firmware image: a 12-byte block (0x1CE70100, 12, the zlib stream's
// length), a zlib stream of stored blocks whose content starts with `content` and a zero byte and
// is filled up so that the image has exactly `imageSize` bytes, the CRC-32 of the zlib stream
// (4 bytes), and `tailSize` filler bytes, the last of which makes the XOR of the whole image
// equal `dataChecksum`.
struct FirmwareImageSpec {
    WrappedImageSpec header;
    std::string content;
    size_t imageSize = 0;
    size_t tailSize = 512;
    uint8_t dataChecksum = 0;
};

struct FirmwareImage {
    Bytes image;
    uint32_t streamCrc = 0; // the eight hex digits of the file name
};

// False (with `problem`) when the sizes cannot be met.
bool buildFirmwareImage(const FirmwareImageSpec& spec, FirmwareImage& out, std::string& problem);

// A zlib stream of stored blocks holding `content`; its length is 6 + content + 5 per block.
Bytes storedZlibStream(const Bytes& content);

// Content length whose stored zlib stream has exactly `streamLength` bytes; none if impossible.
std::optional<size_t> storedContentLengthFor(size_t streamLength);

// Deterministic filler bytes.
Bytes fillerBytes(size_t count, uint32_t seed);

} // namespace tools
