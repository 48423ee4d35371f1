#include "tools/PackageBuilder.h"

#include <zlib.h>

#include <algorithm>
#include <iterator>

namespace tools {
namespace {

constexpr uint16_t kEntryTypeInformation = 1;
constexpr uint16_t kEntryTypeFile = 2;
constexpr char kPackageMagic[] = "PCK_ICEFW_KLF";
constexpr size_t kFileHeaderSize = 644;
constexpr size_t kFileNameUnits = 256;
constexpr size_t kFileTagUnits = 48;
constexpr size_t kWord640Offset = 640;

constexpr uint32_t kFirmwareBlockMagic = 0x1CE70100;
constexpr size_t kFirmwareBlockSize = 12;
constexpr size_t kStreamCrcSize = 4;
constexpr size_t kStoredBlockMaximum = 65535;
constexpr size_t kStoredBlockOverhead = 5;
constexpr size_t kZlibOverhead = 6; // two header bytes and the Adler-32

uint8_t xorOf(const Bytes& bytes) {
    uint8_t sum = 0;
    for (uint8_t byte : bytes)
        sum ^= byte;
    return sum;
}

void appendUtf16Field(Bytes& out, const std::string& text, size_t units) {
    for (size_t i = 0; i < units; ++i)
        appendLittleEndian16(out, i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
}

} // namespace

void appendLittleEndian16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void appendLittleEndian32(Bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>((value >> shift) & 0xFF));
}

void writeLittleEndian32(Bytes& out, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[offset + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}

Bytes buildWrappedImage(const WrappedImageSpec& spec, const Bytes& payload) {
    Bytes image;
    image.reserve(kWrappedHeaderSize + payload.size());
    appendLittleEndian32(image, spec.magic);
    appendLittleEndian32(image, kWrappedHeaderSize);
    appendLittleEndian32(image, static_cast<uint32_t>(payload.size()));
    appendLittleEndian32(image, spec.word12);
    appendLittleEndian32(image, spec.kind);
    appendLittleEndian32(image, spec.word20);
    appendLittleEndian32(image, spec.word24);
    image.resize(kWrappedHeaderSize, 0);
    uint32_t sum = 0;
    for (size_t offset = 0; offset + 4 < kWrappedHeaderSize; offset += 4) {
        sum ^= static_cast<uint32_t>(image[offset]) |
               (static_cast<uint32_t>(image[offset + 1]) << 8) |
               (static_cast<uint32_t>(image[offset + 2]) << 16) |
               (static_cast<uint32_t>(image[offset + 3]) << 24);
    }
    writeLittleEndian32(image, kWrappedHeaderSize - 4, sum);
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

PackageEntry informationEntry(const std::string& text) {
    PackageEntry entry;
    entry.type = kEntryTypeInformation;
    entry.payload.assign(text.begin(), text.end());
    return entry;
}

PackageEntry fileEntry(const PackageFileSpec& file) {
    PackageEntry entry;
    entry.type = kEntryTypeFile;
    Bytes& out = entry.payload;
    out.reserve(kFileHeaderSize + file.data.size());
    appendLittleEndian32(out, kFileHeaderSize);
    appendUtf16Field(out, file.name, kFileNameUnits);
    appendLittleEndian32(out, file.fileType);
    appendLittleEndian32(out, 0);
    appendUtf16Field(out, file.tag, kFileTagUnits);
    appendLittleEndian32(out, static_cast<uint32_t>(file.data.size()));
    appendLittleEndian16(out, file.checkType);
    appendLittleEndian16(out, 0);
    appendLittleEndian32(out, file.word628);
    appendLittleEndian32(out, file.dataChecksumOverride.value_or(xorOf(file.data)));
    appendLittleEndian32(out, 0);
    appendLittleEndian32(out, file.word640);
    out.insert(out.end(), file.data.begin(), file.data.end());
    if (file.entryChecksumTarget) {
        out[kWord640Offset] = 0;
        out[kWord640Offset] = static_cast<uint8_t>(xorOf(out) ^ *file.entryChecksumTarget);
    }
    return entry;
}

Bytes buildPackage(const PackageSpec& spec) {
    size_t total = sizeof(kPackageMagic) + 3;
    for (const PackageEntry& entry : spec.entries)
        total += 12 + entry.payload.size();
    // The magic with its terminating NUL opens the package. Constructing from it (rather than
    // inserting it into an empty reserved vector) spares GCC 12 at -O3 a false overflow report.
    Bytes out(std::begin(kPackageMagic), std::end(kPackageMagic));
    out.reserve(total);
    out.push_back(spec.toolMajor);
    out.push_back(spec.toolMinor);
    out.push_back(spec.chipSetFamily);
    for (const PackageEntry& entry : spec.entries) {
        appendLittleEndian16(out, entry.type);
        appendLittleEndian16(out, 0);
        appendLittleEndian32(out, static_cast<uint32_t>(entry.payload.size()));
        appendLittleEndian32(out, entry.checksumOverride.value_or(xorOf(entry.payload)));
        out.insert(out.end(), entry.payload.begin(), entry.payload.end());
    }
    return out;
}

Bytes storedZlibStream(const Bytes& content) {
    Bytes out;
    const size_t blocks =
        std::max<size_t>(1, (content.size() + kStoredBlockMaximum - 1) / kStoredBlockMaximum);
    out.reserve(kZlibOverhead + content.size() + blocks * kStoredBlockOverhead);
    out.push_back(0x78); // deflate, 32 KiB window
    out.push_back(0x01); // no dictionary, fastest; header checksum holds
    size_t position = 0;
    for (size_t block = 0; block < blocks; ++block) {
        const size_t count = std::min(kStoredBlockMaximum, content.size() - position);
        out.push_back(block + 1 == blocks ? 1 : 0); // BFINAL, BTYPE 00 (stored)
        appendLittleEndian16(out, static_cast<uint16_t>(count));
        appendLittleEndian16(out, static_cast<uint16_t>(~count & 0xFFFF));
        out.insert(out.end(), content.begin() + position, content.begin() + position + count);
        position += count;
    }
    uLong adler = adler32(0L, Z_NULL, 0);
    adler = adler32(adler, content.data(), static_cast<uInt>(content.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>((adler >> shift) & 0xFF));
    return out;
}

std::optional<size_t> storedContentLengthFor(size_t streamLength) {
    for (size_t blocks = 1; kZlibOverhead + blocks * kStoredBlockOverhead <= streamLength;
         ++blocks) {
        const size_t content = streamLength - kZlibOverhead - blocks * kStoredBlockOverhead;
        const size_t needed =
            std::max<size_t>(1, (content + kStoredBlockMaximum - 1) / kStoredBlockMaximum);
        if (needed == blocks)
            return content;
    }
    return std::nullopt;
}

Bytes fillerBytes(size_t count, uint32_t seed) {
    Bytes out(count);
    uint32_t state = seed ? seed : 0x9E3779B9u;
    for (size_t i = 0; i < count; ++i) {
        // xorshift32: cheap, deterministic on every platform.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = static_cast<uint8_t>(state >> 24);
    }
    return out;
}

bool buildFirmwareImage(const FirmwareImageSpec& spec, FirmwareImage& out, std::string& problem) {
    const size_t fixed = kWrappedHeaderSize + kFirmwareBlockSize + kStreamCrcSize + spec.tailSize;
    if (spec.tailSize == 0 || spec.imageSize <= fixed) {
        problem = "image size too small for its fixed parts";
        return false;
    }
    const size_t streamLength = spec.imageSize - fixed;
    const std::optional<size_t> contentLength = storedContentLengthFor(streamLength);
    if (!contentLength || *contentLength < spec.content.size() + 1) {
        problem = "image size too small for the firmware content";
        return false;
    }
    Bytes content(spec.content.begin(), spec.content.end());
    content.push_back(0);
    const Bytes filler = fillerBytes(*contentLength - content.size(), 0x4B455354u);
    content.insert(content.end(), filler.begin(), filler.end());
    const Bytes stream = storedZlibStream(content);

    Bytes payload;
    payload.reserve(spec.imageSize - kWrappedHeaderSize);
    appendLittleEndian32(payload, kFirmwareBlockMagic);
    appendLittleEndian32(payload, kFirmwareBlockSize);
    appendLittleEndian32(payload, static_cast<uint32_t>(stream.size()));
    payload.insert(payload.end(), stream.begin(), stream.end());
    out.streamCrc = static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), stream.data(), static_cast<uInt>(stream.size())));
    appendLittleEndian32(payload, out.streamCrc);
    const Bytes tail = fillerBytes(spec.tailSize, 0x5441494Cu);
    payload.insert(payload.end(), tail.begin(), tail.end());

    out.image = buildWrappedImage(spec.header, payload);
    // The last byte balances the data checksum.
    out.image.back() = 0;
    out.image.back() = static_cast<uint8_t>(xorOf(out.image) ^ spec.dataChecksum);
    return true;
}

} // namespace tools
