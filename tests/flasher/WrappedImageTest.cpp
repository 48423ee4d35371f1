// The wrapped header and the loader's frames.

#include "PackageTestSupport.h"

#include "flasher/PackageReader.h"
#include "flasher/WrappedImage.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace packagetest;

namespace {

// XOR-16 over a whole frame, its checksum included, is 0 when the checksum is right.
uint16_t frameXor(const uint8_t* frame, size_t size) {
    return flasher::xor16(frame, size);
}

TEST(WrappedHeader, ParsesTheFieldsAndChecksTheWordSum) {
    const Bytes image = smallImage(100, 0x01000000);
    flasher::WrappedHeader header;
    ASSERT_EQ(flasher::parseWrappedHeader(image.data(), image.size(), header), 0);
    EXPECT_EQ(header.magic, 0x1CE8040Au);
    EXPECT_EQ(header.headerLength, 64u);
    EXPECT_EQ(header.payloadSize, 100u);
    EXPECT_EQ(header.word12, 0x88000000u);
    EXPECT_EQ(header.word20, 1u);
    EXPECT_EQ(flasher::imageKind(header), 0u);

    for (size_t word = 0; word < 16; ++word) {
        if (word <= 1)
            continue; // a changed magic or header length is another failure
        Bytes changed = image;
        changed[word * 4 + 1] ^= 0x20;
        EXPECT_EQ(flasher::parseWrappedHeader(changed.data(), changed.size(), header),
                  flasher::kWrappedHeaderBadChecksum)
            << word;
    }
    Bytes otherMagic = image;
    otherMagic[1] = 0x02; // 0x1CE8020A is the other accepted magic
    otherMagic[60 + 1] ^= 0x04 ^ 0x02;
    EXPECT_EQ(flasher::parseWrappedHeader(otherMagic.data(), otherMagic.size(), header), 0);
    Bytes unknown = image;
    unknown[3] = 0x1D;
    EXPECT_EQ(flasher::parseWrappedHeader(unknown.data(), unknown.size(), header),
              flasher::kWrappedHeaderUnknownMagic);
}

TEST(WrappedHeader, ShortDataNeverReadsPastItsEnd) {
    const Bytes image = smallImage(8);
    flasher::WrappedHeader header;
    for (size_t length = 0; length < 64; ++length) {
        const Bytes cut(image.begin(), image.begin() + length);
        const int result = flasher::parseWrappedHeader(cut.data(), cut.size(), header);
        EXPECT_EQ(result, flasher::kWrappedHeaderTruncated) << length;
    }
    Bytes hugeHeader = image;
    tools::writeLittleEndian32(hugeHeader, 4, 0xFFFFFFF0u);
    EXPECT_EQ(flasher::parseWrappedHeader(hugeHeader.data(), hugeHeader.size(), header),
              flasher::kWrappedHeaderTruncated);
}

TEST(WrappedHeader, SmallBlocksForKindWords6To8Only) {
    flasher::WrappedHeader header;
    for (uint32_t kind : {6u, 7u, 8u}) {
        header.kind = kind;
        EXPECT_EQ(flasher::blockSizeFor(header, 65276), 4092) << kind;
    }
    for (uint32_t kind : {0u, 5u, 9u, 0x01000006u, 0x01000000u}) {
        header.kind = kind;
        EXPECT_EQ(flasher::blockSizeFor(header, 65276), 65276) << kind;
    }
}

TEST(Frames, StartDownloadRequestOfTheEmbeddedImage) {
    const Bytes& pck = embeddedPackage();
    const uint8_t* image = pck.data() + kEmbeddedImageOffset;
    flasher::FrameBuilder frames;
    frames.buildStartDownload(65276, image, 64);
    ASSERT_EQ(frames.size(), 70u);
    const uint8_t* frame = frames.data();
    EXPECT_EQ(frame[0], 0xAA);
    EXPECT_EQ(frame[1], 0x73);
    EXPECT_EQ(flasher::readLittleEndian16(frame + 2), 65276);
    EXPECT_EQ(std::memcmp(frame + 4, image, 64), 0);
    EXPECT_EQ(frameXor(frame, 70), 0);
    // The checksum is the word XOR of the 68 bytes before it, the frame bytes as first word.
    uint16_t sum = 0x73AA;
    for (size_t i = 2; i < 68; i += 2)
        sum ^= flasher::readLittleEndian16(frame + i);
    EXPECT_EQ(flasher::readLittleEndian16(frame + 68), sum);
}

TEST(Frames, DataFramesCarryTheBlockAndAnOddBlockIsPaddedWithZero) {
    const Bytes block = tools::fillerBytes(65276, 4);
    flasher::FrameBuilder frames;
    frames.buildData(block.data(), block.size(), false);
    ASSERT_EQ(frames.size(), 65280u);
    EXPECT_EQ(frames.data()[0], 0xAA);
    EXPECT_EQ(frames.data()[1], 0x00);
    EXPECT_EQ(std::memcmp(frames.data() + 2, block.data(), block.size()), 0);
    EXPECT_EQ(frameXor(frames.data(), frames.size()), 0);

    // Only the 11 image bytes are read; the frame holds them, a zero byte and the checksum.
    const Bytes odd(block.begin(), block.begin() + 11);
    frames.buildData(odd.data(), odd.size(), true);
    ASSERT_EQ(frames.size(), 2u + 12 + 2);
    EXPECT_EQ(frames.data()[2 + 11], 0);
    EXPECT_EQ(frameXor(frames.data(), frames.size()), 0);

    // The buffer is reused: a frame built again is identical.
    frames.buildData(block.data(), block.size(), false);
    const Bytes first(frames.data(), frames.data() + frames.size());
    frames.buildData(block.data(), block.size(), false);
    EXPECT_EQ(Bytes(frames.data(), frames.data() + frames.size()), first);
}

} // namespace
