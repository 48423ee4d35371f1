// The package readers, the image list and the package information, on the embedded package and
// on packages built broken on purpose.

#include "PackageTestSupport.h"

#include "flasher/Library.h"
#include "flasher/PackageImageList.h"
#include "flasher/PackageInfo.h"
#include "flasher/PackageReader.h"
#include "flasher/WrappedImage.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace packagetest;

namespace {

FfResult imageListOf(const Bytes& data) {
    return flasher::buildImageList(data.data(), data.size());
}

int findScript(const Bytes& data, flasher::PackageFileHeader& file, const uint8_t*& found) {
    const uint8_t* cursor = data.data();
    return flasher::findPackageFile(cursor, data.size(), flasher::kFileTypeScript, file, found);
}

// Each test gets a copy of exactly the bytes it needs, so a read past them is caught by the
// address sanitizer.
Bytes truncated(const Bytes& data, size_t length) {
    return Bytes(data.begin(), data.begin() + length);
}

TEST(EmbeddedPackage, HeaderAndInformationTextHaveTheLayoutTheUpdaterExpects) {
    const Bytes& pck = embeddedPackage();
    ASSERT_EQ(pck.size(), 17u + 12 + 107 + 12 + 644 + kEmbeddedImageSize);
    EXPECT_EQ(std::memcmp(pck.data(), "PCK_ICEFW_KLF", 14), 0);
    EXPECT_EQ(pck[14], 0);
    EXPECT_EQ(pck[15], 3);
    EXPECT_EQ(pck[16], 0xFF);

    EXPECT_EQ(flasher::readLittleEndian16(&pck[17]), 1);
    EXPECT_EQ(flasher::readLittleEndian32(&pck[21]), 107u);
    EXPECT_EQ(
        std::string(pck.begin() + kEmbeddedInfoOffset, pck.begin() + kEmbeddedInfoOffset + 107),
        kInfoText);
    // The information text of the example XORs to 0x4C.
    EXPECT_EQ(flasher::readLittleEndian32(&pck[25]), 0x4Cu);
}

// The package's only file entry: the wrapped firmware image, named after its stream's CRC.
struct ImageEntry {
    flasher::PackageFileHeader header;
    const uint8_t* data = nullptr;
    const uint8_t* end = nullptr;
};

ImageEntry readImageEntry(const Bytes& pck) {
    ImageEntry entry;
    const uint8_t* cursor = &pck[kEmbeddedFileEntryOffset];
    flasher::PackageEntryHeader header;
    EXPECT_TRUE(flasher::readEntryHeader(cursor, pck.data() + pck.size(), header));
    EXPECT_EQ(
        flasher::readFileEntry(cursor, pck.data() + pck.size(), header, entry.header, entry.data),
        0);
    entry.end = cursor;
    return entry;
}

std::string crcDigitsOf(const std::string& imageName) {
    return imageName.substr(std::strlen("QT0880-MOD-V3.19.0.zlib."), 8);
}

TEST(EmbeddedPackage, FileEntryDescribesTheWrappedImage) {
    const Bytes& pck = embeddedPackage();
    const uint8_t* file = &pck[kEmbeddedFileEntryOffset];
    EXPECT_EQ(flasher::readLittleEndian16(file), 2);
    EXPECT_EQ(flasher::readLittleEndian32(file + 4), 3472180u);
    EXPECT_EQ(flasher::readLittleEndian32(file + 8), 0x9Eu);
    EXPECT_EQ(flasher::xorBytes(file + 12, 3472180), 0x9Eu);

    const ImageEntry entry = readImageEntry(pck);
    const flasher::PackageFileHeader& fileHeader = entry.header;
    EXPECT_EQ(fileHeader.headerLength, 644u);
    EXPECT_EQ(fileHeader.fileType, 9u);
    EXPECT_STREQ(fileHeader.tag, "-MOD-");
    EXPECT_EQ(fileHeader.dataSize, kEmbeddedImageSize);
    EXPECT_EQ(fileHeader.dataChecksum, 0xB2u);
    EXPECT_EQ(fileHeader.word628, 4u);
    const std::string name = fileHeader.name;
    ASSERT_EQ(name.size(), std::strlen("QT0880-MOD-V3.19.0.zlib.") + 8 + std::strlen(".wrapped"));
    EXPECT_EQ(name.rfind("QT0880-MOD-V3.19.0.zlib.", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 8), ".wrapped");
    const std::string digits = crcDigitsOf(name);
    EXPECT_EQ(digits.find_first_not_of("0123456789ABCDEF"), std::string::npos) << digits;
    EXPECT_EQ(entry.data, pck.data() + kEmbeddedImageOffset);
    EXPECT_EQ(entry.end, pck.data() + pck.size()) << "the file entry ends the package";
}

TEST(EmbeddedPackage, WrappedImageCarriesTheBlockAndTheZlibStreamWithItsCrc) {
    const Bytes& pck = embeddedPackage();
    const ImageEntry entry = readImageEntry(pck);
    ASSERT_EQ(entry.data, pck.data() + kEmbeddedImageOffset);
    const uint8_t* data = entry.data;
    flasher::WrappedHeader wrapped;
    ASSERT_EQ(flasher::parseWrappedHeader(data, kEmbeddedImageSize, wrapped), 0);
    EXPECT_EQ(wrapped.magic, 0x1CE8040Au);
    EXPECT_EQ(wrapped.headerLength, 64u);
    EXPECT_EQ(wrapped.payloadSize, 3471472u);
    EXPECT_EQ(wrapped.word12, 0x88000000u);
    EXPECT_EQ(wrapped.kind, 0x01000000u);
    EXPECT_EQ(wrapped.word20, 1u);
    EXPECT_EQ(flasher::blockSizeFor(wrapped, 65276), 65276);

    // Payload: the 12-byte block, the zlib stream, the stream's CRC (the name's hex digits).
    const uint8_t* payload = data + 64;
    EXPECT_EQ(flasher::readLittleEndian32(payload), 0x1CE70100u);
    EXPECT_EQ(flasher::readLittleEndian32(payload + 4), 12u);
    const uint32_t stream = flasher::readLittleEndian32(payload + 8);
    EXPECT_EQ(12 + stream + 4 + 512, 3471472u);
    EXPECT_EQ(payload[12], 0x78) << "a zlib stream follows the block";
    EXPECT_EQ(flasher::readLittleEndian32(payload + 12 + stream),
              std::stoul(crcDigitsOf(entry.header.name), nullptr, 16));
}

TEST(EmbeddedPackage, OffersFirmware3190AndNoSoftwareInformation) {
    LogSinkCapture log;
    FfInfoRecord record;
    std::memset(&record, 0x55, sizeof record);
    ASSERT_EQ(infoOf(embeddedPackage(), 0, record), 0u);
    EXPECT_STREQ(record.description, "Manufacturer: Velmar N.V.\r\nModel: QT0880\r\nRevision: "
                                     "3.19.0 (Date: Mar 16 2010, Time: 15:03:03)");
    EXPECT_STREQ(record.version, "3.19.0");
    EXPECT_STREQ(record.model, "QT0880");
    EXPECT_STREQ(record.lmCode, "");
    EXPECT_EQ(record.second, 3);
    EXPECT_EQ(record.minute, 3);
    EXPECT_EQ(record.hour, 15);
    EXPECT_EQ(record.day, 16);
    EXPECT_EQ(record.month, 3);
    EXPECT_EQ(record.year, 2010);
    EXPECT_TRUE(log.hasLine("FfGetInfoPck"));
    EXPECT_TRUE(log.contains("Package generated with tool version: ")) << log.all();
    EXPECT_TRUE(log.hasLine("Chip Set family set to: \xFF")) << log.all();

    std::memset(&record, 0x55, sizeof record);
    EXPECT_EQ(infoOf(embeddedPackage(), 1, record), 0x1000002Bu);
    const FfInfoRecord zero{};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof record), 0) << "the record is cleared";

    EXPECT_EQ(infoOf(embeddedPackage(), 7, record), 0u) << "another kind only checks the package";
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof record), 0);
}

TEST(EmbeddedPackage, ImageListHoldsOneType9ImagePointingIntoThePackage) {
    const Bytes& pck = embeddedPackage();
    ASSERT_EQ(imageListOf(pck), 0u);
    const flasher::Library& object = flasher::library();
    ASSERT_EQ(object.imageList.size(), 1u);
    const flasher::ImageListEntry& entry = object.imageList[0];
    EXPECT_EQ(entry.fileType, 9u);
    EXPECT_EQ(entry.data, pck.data() + kEmbeddedImageOffset) << "no copy of the image";
    EXPECT_EQ(entry.size, kEmbeddedImageSize);
    EXPECT_EQ(entry.trailer, flasher::readLittleEndian32(pck.data() + pck.size() - 4));
    EXPECT_EQ(object.imageTotal, 3471472u);
}

TEST(EmbeddedPackage, HoldsNoScript) {
    LogSinkCapture log;
    flasher::PackageFileHeader file;
    const uint8_t* found = nullptr;
    EXPECT_EQ(findScript(embeddedPackage(), file, found), 7);
    EXPECT_EQ(found, nullptr);
    EXPECT_TRUE(log.hasLine("Warning: No file found."));
}

TEST(BrokenPackage, FlippedByteInTheInformationTextIsACorruption) {
    Bytes pck = smallPackage();
    pck[kEmbeddedInfoOffset + 40] ^= 0x10;
    LogSinkCapture log;
    FfInfoRecord record;
    EXPECT_EQ(infoOf(pck, 0, record), 0x20000028u);
    EXPECT_TRUE(log.hasLine("Error: Data corrupted. Wrong CheckSum\n")) << log.all();
    EXPECT_EQ(imageListOf(pck), 0x20000028u);
    flasher::PackageFileHeader file;
    const uint8_t* found = nullptr;
    EXPECT_EQ(findScript(pck, file, found), 6);
    EXPECT_TRUE(log.hasLine("Wrong File Format"));
}

TEST(BrokenPackage, FlippedByteInTheFileDataIsACorruption) {
    Bytes pck = embeddedPackage();
    pck[pck.size() - 1000] ^= 0x01;
    LogSinkCapture log;
    FfInfoRecord record;
    EXPECT_EQ(infoOf(pck, 0, record), 0x20000028u);
    EXPECT_TRUE(log.hasLine("Error: Data corrupted. Wrong CheckSum ")) << log.all();
    EXPECT_EQ(imageListOf(pck), 0x20000028u);
    EXPECT_TRUE(flasher::library().imageList.empty());
}

TEST(BrokenPackage, EachChecksumFieldIsVerifiedWhereItIsUsed) {
    const Bytes good = smallPackage();
    FfInfoRecord record;
    {
        Bytes pck = good; // the information entry's checksum
        pck[25] ^= 0x01;
        EXPECT_EQ(infoOf(pck, 0, record), 0x20000028u);
    }
    {
        Bytes pck = good; // the file entry's checksum is written by the tool, never verified
        pck[kEmbeddedFileEntryOffset + 8] ^= 0x01;
        EXPECT_EQ(infoOf(pck, 0, record), 0u);
        EXPECT_EQ(imageListOf(pck), 0u);
    }
    {
        Bytes pck = good; // the data checksum
        pck[kEmbeddedFileHeaderOffset + 632] ^= 0x01;
        LogSinkCapture log;
        EXPECT_EQ(imageListOf(pck), 0x20000028u);
        EXPECT_TRUE(log.hasLine("Error: Data corrupted. Wrong CheckSum "));
    }
    {
        // The wrapped header checksum is passed over by the list (the download refuses it):
        // change a word and fix the data checksum so only the header is wrong.
        Bytes pck = good;
        pck[kEmbeddedImageOffset + 24] ^= 0x01;
        pck[kEmbeddedFileHeaderOffset + 632] ^= 0x01;
        EXPECT_EQ(imageListOf(pck), 0u);
        ASSERT_EQ(flasher::library().imageList.size(), 1u);
        flasher::WrappedHeader header;
        EXPECT_EQ(flasher::parseWrappedHeader(flasher::library().imageList[0].data,
                                              flasher::library().imageList[0].size, header),
                  flasher::kWrappedHeaderBadChecksum);
    }
}

TEST(BrokenPackage, TruncationAtAnyLengthIsAFormatErrorNeverAnOverread) {
    const Bytes good = smallPackage(120);
    const size_t infoEnd = kEmbeddedFileEntryOffset;
    for (size_t length = 0; length < good.size(); ++length) {
        const Bytes pck = truncated(good, length);
        FfInfoRecord record;
        const FfResult firmware = infoOf(pck, 0, record);
        const FfResult list = imageListOf(pck);
        if (length < 17) {
            EXPECT_EQ(firmware, 0x20000028u) << length;
            // Without a main header the input is taken as a bare image; nothing is no image.
            EXPECT_EQ(list, length == 0 ? 0x20000028u : 0u) << length;
        } else if (length == 17) {
            EXPECT_EQ(firmware, 0x1000002Au) << length;
            EXPECT_EQ(list, 0u) << length;
            EXPECT_TRUE(flasher::library().imageList.empty());
        } else if (length == infoEnd) {
            EXPECT_EQ(firmware, 0u) << "the information entry is whole";
            EXPECT_EQ(list, 0u) << length;
        } else {
            EXPECT_EQ(firmware, 0x20000028u) << length;
            EXPECT_EQ(list, 0x20000028u) << length;
        }
        flasher::PackageFileHeader file;
        const uint8_t* found = nullptr;
        const int script = findScript(pck, file, found);
        EXPECT_TRUE(script == 6 || script == 7) << length;
    }
}

TEST(BrokenPackage, SizesPointingPastTheEndAreRejected) {
    const Bytes good = smallPackage();
    FfInfoRecord record;
    {
        Bytes pck = good; // information payload size
        tools::writeLittleEndian32(pck, 21, 0xFFFFFFF0u);
        LogSinkCapture log;
        EXPECT_EQ(infoOf(pck, 0, record), 0x20000028u);
        EXPECT_TRUE(log.contains("exceeds the package")) << log.all();
        EXPECT_EQ(imageListOf(pck), 0x20000028u);
    }
    {
        Bytes pck = good; // file entry payload size
        tools::writeLittleEndian32(pck, kEmbeddedFileEntryOffset + 4,
                                   static_cast<uint32_t>(good.size()));
        EXPECT_EQ(infoOf(pck, 0, record), 0x20000028u);
        EXPECT_EQ(imageListOf(pck), 0x20000028u);
    }
    {
        Bytes pck = good; // file data size beyond its entry
        tools::writeLittleEndian32(pck, kEmbeddedFileHeaderOffset + 620, 0x7FFFFFFFu);
        EXPECT_EQ(infoOf(pck, 0, record), 0x20000028u);
        EXPECT_EQ(imageListOf(pck), 0x20000028u);
    }
    {
        Bytes pck = good; // entry too short for a file header
        tools::writeLittleEndian32(pck, kEmbeddedFileEntryOffset + 4, 100);
        EXPECT_EQ(imageListOf(pck), 0x20000028u);
    }
    {
        // The wrapped header's payload size disagrees with the file's data size.
        Bytes image = smallImage(200);
        tools::writeLittleEndian32(image, 8, 5000);
        tools::writeLittleEndian32(image, 60, 0); // rebalance the header checksum
        uint32_t sum = 0;
        for (size_t i = 0; i < 64; i += 4)
            sum ^= flasher::readLittleEndian32(&image[i]);
        tools::writeLittleEndian32(image, 60, sum);
        const Bytes pck = package({imageFile(image)});
        LogSinkCapture log;
        EXPECT_EQ(imageListOf(pck), 0x20000028u);
        EXPECT_STREQ(flasher::library().lastError(), "Wrong wrapped file size value in header");
    }
    {
        // A header length beyond the data.
        Bytes image = smallImage(20);
        tools::writeLittleEndian32(image, 4, 4096);
        EXPECT_EQ(imageListOf(package({imageFile(image)})), 0x20000028u);
    }
}

TEST(BrokenPackage, UnknownEntryTypesAreSkippedWholeByTheListAndRejectedElsewhere) {
    tools::PackageEntry unknown;
    unknown.type = 5;
    unknown.payload = tools::fillerBytes(300, 9); // could read as entries if not skipped
    const Bytes image = smallImage(64);
    const Bytes pck = package({tools::informationEntry(kInfoText), unknown, imageFile(image)});

    ASSERT_EQ(imageListOf(pck), 0u);
    ASSERT_EQ(flasher::library().imageList.size(), 1u);
    EXPECT_EQ(flasher::library().imageList[0].size, image.size());

    FfInfoRecord record;
    EXPECT_EQ(infoOf(pck, 0, record), 0x20000028u);
    EXPECT_STREQ(flasher::library().lastError(), "Wrong File Format");
    LogSinkCapture log;
    flasher::PackageFileHeader file;
    const uint8_t* found = nullptr;
    EXPECT_EQ(findScript(pck, file, found), 6);
    EXPECT_TRUE(log.hasLine("Warning: Unknown package entry"));

    Bytes oversized = pck; // the unknown entry's size past the end
    tools::writeLittleEndian32(oversized, kEmbeddedFileEntryOffset + 4, 0x00FFFFFFu);
    EXPECT_EQ(imageListOf(oversized), 0x20000028u);
}

TEST(PackageFiles, FindPackageFileStopsAtTheFirstScript) {
    const std::string first = "<post_customization><at_cmd>ATI</at_cmd></post_customization>";
    const Bytes pck = package({tools::informationEntry(kInfoText), imageFile(smallImage(40)),
                               textFile(first, 19, "first.xml"), textFile("<x/>", 19, "second.xml"),
                               imageFile(smallImage(50), 5)});
    flasher::PackageFileHeader file;
    const uint8_t* found = nullptr;
    ASSERT_EQ(findScript(pck, file, found), 0);
    EXPECT_STREQ(file.name, "first.xml");
    ASSERT_EQ(file.dataSize, first.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(found), file.dataSize), first);

    // Without a main header the search starts at the first byte.
    const Bytes headless(pck.begin() + 17, pck.end());
    LogSinkCapture log;
    found = nullptr;
    ASSERT_EQ(findScript(headless, file, found), 0);
    EXPECT_STREQ(file.name, "first.xml");
    EXPECT_TRUE(
        log.hasLine("No main header found, may be in the midlle of a pck continue searching"));
}

TEST(PackageFiles, EmptyFileIsAcceptedWithoutData) {
    LogSinkCapture log;
    const Bytes pck = package({textFile("", 19, "empty.xml")});
    flasher::PackageFileHeader file;
    const uint8_t* found = reinterpret_cast<const uint8_t*>(1);
    EXPECT_EQ(findScript(pck, file, found), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_TRUE(log.hasLine("Warning:no content available: empty.xml will be generated empty"));
}

TEST(PackageFiles, UnsupportedCheckTypeIsRejected) {
    tools::PackageFileSpec spec;
    spec.fileType = 9;
    spec.name = "odd.wrapped";
    spec.checkType = 2;
    spec.data = smallImage(16);
    LogSinkCapture log;
    EXPECT_EQ(imageListOf(package({tools::fileEntry(spec)})), 0x20000028u);
    EXPECT_TRUE(log.hasLine("Error:check mode not supported File: odd.wrappedcheck type =2"))
        << log.all();
}

TEST(PackageFiles, ImageListFollowsTypesAndTotals) {
    const Bytes a = smallImage(100), b = smallImage(300), c = smallImage(50), d = smallImage(70);
    const Bytes pck = package({imageFile(a, 1), imageFile(b, 3), textFile("RSTR:x", 10),
                               imageFile(c, 15), imageFile(d, 17)});
    ASSERT_EQ(imageListOf(pck), 0u);
    const auto& list = flasher::library().imageList;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].fileType, 1u);
    EXPECT_EQ(list[1].fileType, 3u);
    EXPECT_EQ(list[1].trailer, 0u) << "type 3 keeps no trailer";
    EXPECT_EQ(list[2].fileType, 15u);
    EXPECT_EQ(list[2].trailer, flasher::readLittleEndian32(&c[c.size() - 4]));
    EXPECT_EQ(flasher::library().imageTotal, 150u) << "payloads of types 1 and 15 only";
}

TEST(PackageFiles, BareImageIsTakenAsOneImageOfItsKind) {
    const std::pair<uint32_t, uint32_t> kinds[] = {{0x01000000, 9}, {2, 5},  {3, 7},  {4, 17},
                                                   {5, 3},          {6, 11}, {7, 7},  {8, 13},
                                                   {9, 15},         {1, 20}, {77, 20}};
    for (const auto& [kind, type] : kinds) {
        const Bytes image = smallImage(30, kind);
        ASSERT_EQ(imageListOf(image), 0u);
        ASSERT_EQ(flasher::library().imageList.size(), 1u);
        EXPECT_EQ(flasher::library().imageList[0].fileType, type) << kind;
        EXPECT_EQ(flasher::library().imageList[0].data, image.data());
        EXPECT_EQ(flasher::library().imageTotal, image.size());
        EXPECT_STREQ(flasher::library().lastError(), "Unknown format input package");
    }
    // Too short for a header: still one image, of kind 0; three bytes have no trailer.
    const Bytes tiny = {1, 2, 3};
    ASSERT_EQ(imageListOf(tiny), 0u);
    EXPECT_EQ(flasher::library().imageList[0].fileType, 9u);
    EXPECT_EQ(flasher::library().imageList[0].trailer, 0u);

    FfInfoRecord record;
    LogSinkCapture log;
    EXPECT_EQ(infoOf(smallImage(30), 0, record), 0x20000028u);
    EXPECT_STREQ(flasher::library().lastError(), "Problems getting main pck header");
    EXPECT_TRUE(log.contains("Error: wrong Magic ID ("));
    EXPECT_TRUE(log.hasLine("Expected Magic ID: PCK_ICEFW_KLF"));
}

TEST(PackageInformation, SoftwareVersionComesFromAType11Image) {
    Bytes payload = tools::fillerBytes(33086 + 536, 3);
    const std::string version = "  SW_2.9.4 built today";
    std::memcpy(&payload[33086], version.data(), version.size());
    const Bytes image = tools::buildWrappedImage(tools::WrappedImageSpec{}, payload);
    FfInfoRecord record;
    ASSERT_EQ(infoOf(package({imageFile(image, 11)}), 1, record), 0u);
    EXPECT_STREQ(record.version, "SW_2.9.4");

    payload.pop_back(); // one byte short of the 33622 the position needs
    const Bytes shorter = tools::buildWrappedImage(tools::WrappedImageSpec{}, payload);
    EXPECT_EQ(infoOf(package({imageFile(shorter, 11)}), 1, record), 0x1000002Bu);
}

TEST(PackageInformation, RestrictionTextFillsTheDescriptionButIsNoSoftwareVersion) {
    FfInfoRecord record;
    EXPECT_EQ(infoOf(package({textFile("header\nRSTR:only QT0880 cards", 10)}), 1, record),
              0x1000002Bu);
    EXPECT_STREQ(record.description, "only QT0880 cards");
    EXPECT_EQ(infoOf(package({textFile("rstr:lower", 10)}), 1, record), 0x1000002Bu);
    EXPECT_STREQ(record.description, "lower");
    EXPECT_EQ(infoOf(package({textFile("nothing here", 10)}), 1, record), 0x1000002Bu);
    EXPECT_STREQ(record.description, "");
    const std::string longText = "RSTR:" + std::string(300, 'r');
    EXPECT_EQ(infoOf(package({textFile(longText, 10)}), 1, record), 0x1000002Bu);
    EXPECT_EQ(std::strlen(record.description), 127u);
}

TEST(PackageInformation, PackageWithoutInformationEntryHasNoFirmwareInformation) {
    FfInfoRecord record;
    EXPECT_EQ(infoOf(package({imageFile(smallImage(10))}), 0, record), 0x1000002Au);
    EXPECT_EQ(infoOf(package({tools::informationEntry("no identity here")}), 0, record),
              0x20000028u);
    EXPECT_STREQ(flasher::library().lastError(), "Parse FW info error");
    LogSinkCapture log;
    EXPECT_EQ(infoOf(package({tools::informationEntry("")}), 0, record), 0x20000028u);
    EXPECT_TRUE(log.hasLine("Warning:no description available"));
}

} // namespace
