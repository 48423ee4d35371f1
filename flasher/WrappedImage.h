#pragma once

// The wrapped firmware image: its 64-byte header with a word checksum, and the frames in which
// the loader receives it (StartDownload request and data blocks, each ended by an XOR-16).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flasher {

constexpr uint32_t kWrappedMagicA = 0x1CE8020A;
constexpr uint32_t kWrappedMagicB = 0x1CE8040A;
constexpr size_t kWrappedHeaderLength = 64;
// The fields read from the header end with the word at offset 24.
constexpr size_t kWrappedHeaderMinimumLength = 28;

// The largest block a data frame carries (the library's default block size).
constexpr uint16_t kLargestBlockSize = 65276;
constexpr uint16_t kSmallBlockSize = 4092;
constexpr size_t kFrameOverhead = 4; // two frame bytes and the XOR-16

constexpr uint8_t kFrameStart = 0xAA;
constexpr uint8_t kFrameStartDownload = 0x73;
constexpr uint8_t kFrameData = 0x00;

// Status bytes of the device's answers.
constexpr uint8_t kStatusAccepted = 0x01;
constexpr uint8_t kStatusSendAgain = 0x09;
constexpr uint8_t kStatusTransmissionTimeout = 0x0A;
constexpr uint8_t kStatusImageTooBig = 0x0B;

// Results of parseWrappedHeader.
constexpr int kWrappedHeaderOk = 0;
constexpr int kWrappedHeaderUnknownMagic = 1;
constexpr int kWrappedHeaderBadChecksum = 2;
// The data is shorter than the header it announces (or than the fields read from it).
constexpr int kWrappedHeaderTruncated = 3;

struct WrappedHeader {
    uint32_t magic = 0;
    uint32_t headerLength = 0;
    uint32_t payloadSize = 0;
    uint32_t word12 = 0;
    uint32_t kind = 0;
    uint32_t word20 = 0;
    uint32_t word24 = 0;
};

// Reads and checks the header at the start of `data` (at most `length` bytes are read).
int parseWrappedHeader(const uint8_t* data, size_t length, WrappedHeader& header);

// The kind that the package format gives a wrapped image: the low 24 bits of the kind word.
inline uint32_t imageKind(const WrappedHeader& header) {
    return header.kind & 0x00FFFFFFu;
}

// 4092 when the kind word is 6, 7 or 8; otherwise the given (library) block size.
uint16_t blockSizeFor(const WrappedHeader& header, uint16_t librarySize);

// XOR of the bytes taken as little-endian 16-bit words; an odd last byte counts as a low byte.
uint16_t xor16(const uint8_t* data, size_t size);

// Builds frames into one buffer that is reused from block to block, so a rejected frame can be
// sent again unchanged.
class FrameBuilder {
public:
    explicit FrameBuilder(size_t maximumBlock = kLargestBlockSize);

    // 0xAA 0x73, block size, the header bytes, XOR-16.
    void buildStartDownload(uint16_t blockSize, const uint8_t* header, size_t headerLength);
    // 0xAA 0x00, the block, XOR-16. `count` bytes come from the image; when `padded`, one zero
    // byte follows them so that the frame holds an even count (never a read past the image).
    void buildData(const uint8_t* block, size_t count, bool padded);

    const uint8_t* data() const { return frame_.data(); }
    size_t size() const { return size_; }

private:
    void finish();

    std::vector<uint8_t> frame_;
    size_t size_ = 0;
};

} // namespace flasher
