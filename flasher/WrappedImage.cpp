#include "flasher/WrappedImage.h"

#include "flasher/PackageReader.h"

#include <cstring>

namespace flasher {
namespace {

constexpr size_t kWordSize = 4;
constexpr uint32_t kSmallBlockKinds[] = {6, 7, 8};

} // namespace

int parseWrappedHeader(const uint8_t* data, size_t length, WrappedHeader& header) {
    header = WrappedHeader{};
    if (!data || length < kWordSize)
        return kWrappedHeaderTruncated;
    header.magic = readLittleEndian32(data);
    if (header.magic != kWrappedMagicA && header.magic != kWrappedMagicB)
        return kWrappedHeaderUnknownMagic;
    if (length < kWrappedHeaderMinimumLength)
        return kWrappedHeaderTruncated;
    header.headerLength = readLittleEndian32(data + 4);
    header.payloadSize = readLittleEndian32(data + 8);
    header.word12 = readLittleEndian32(data + 12);
    header.kind = readLittleEndian32(data + 16);
    header.word20 = readLittleEndian32(data + 20);
    header.word24 = readLittleEndian32(data + 24);
    if (header.headerLength < kWrappedHeaderMinimumLength || header.headerLength > length)
        return kWrappedHeaderTruncated;

    uint32_t sum = 0;
    const size_t words = header.headerLength / kWordSize;
    for (size_t i = 0; i < words; ++i)
        sum ^= readLittleEndian32(data + i * kWordSize);
    return sum == 0 ? kWrappedHeaderOk : kWrappedHeaderBadChecksum;
}

uint16_t blockSizeFor(const WrappedHeader& header, uint16_t librarySize) {
    for (uint32_t kind : kSmallBlockKinds) {
        if (header.kind == kind)
            return kSmallBlockSize;
    }
    return librarySize;
}

uint16_t xor16(const uint8_t* data, size_t size) {
    uint16_t sum = 0;
    size_t i = 0;
    for (; i + 1 < size; i += 2)
        sum ^= static_cast<uint16_t>(data[i] | (data[i + 1] << 8));
    if (i < size)
        sum ^= data[i];
    return sum;
}

FrameBuilder::FrameBuilder(size_t maximumBlock) : frame_(maximumBlock + kFrameOverhead + 1) {}

void FrameBuilder::buildStartDownload(uint16_t blockSize, const uint8_t* header,
                                      size_t headerLength) {
    const size_t needed = 4 + headerLength + 2;
    if (frame_.size() < needed)
        frame_.resize(needed);
    frame_[0] = kFrameStart;
    frame_[1] = kFrameStartDownload;
    frame_[2] = static_cast<uint8_t>(blockSize & 0xFF);
    frame_[3] = static_cast<uint8_t>(blockSize >> 8);
    std::memcpy(frame_.data() + 4, header, headerLength);
    size_ = 4 + headerLength;
    finish();
}

void FrameBuilder::buildData(const uint8_t* block, size_t count, bool padded) {
    const size_t needed = 2 + count + (padded ? 1 : 0) + 2;
    if (frame_.size() < needed)
        frame_.resize(needed);
    frame_[0] = kFrameStart;
    frame_[1] = kFrameData;
    std::memcpy(frame_.data() + 2, block, count);
    size_ = 2 + count;
    if (padded)
        frame_[size_++] = 0;
    finish();
}

void FrameBuilder::finish() {
    const uint16_t check = xor16(frame_.data(), size_);
    frame_[size_++] = static_cast<uint8_t>(check & 0xFF);
    frame_[size_++] = static_cast<uint8_t>(check >> 8);
}

} // namespace flasher
