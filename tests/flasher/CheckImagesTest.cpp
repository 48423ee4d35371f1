// FfCheckImages: whether FfFlash would find an image to download for the requested parts, told
// from the package alone.

#include "PackageTestSupport.h"

#include "flasher/Library.h"
#include "flasher/PackageImageList.h"

#include <gtest/gtest.h>

using namespace packagetest;

namespace {

FfResult check(const Bytes& data, bool firmware, bool software) {
    return FfCheckImages(L"QT0880", firmware, software, data.data(),
                         static_cast<uint32_t>(data.size()));
}

// The embedded package with the file type of its one image changed.
Bytes embeddedWithImageType(uint8_t fileType) {
    Bytes bytes = embeddedPackage();
    bytes.at(kEmbeddedFileHeaderOffset + 516) = fileType;
    return bytes;
}

TEST(CheckImages, EmbeddedPackageHasAnImageForTheFirmwareAndForTheSoftwarePass) {
    EXPECT_EQ(check(embeddedPackage(), true, false), kFfOk);
    EXPECT_EQ(check(embeddedPackage(), true, true), kFfOk);
    // The second pass of a two-pass product asks for the software alone; the selection then
    // takes the firmware image again.
    EXPECT_EQ(check(embeddedPackage(), false, true), kFfOk);
}

TEST(CheckImages, ImageThatIsNeverFlashedLeavesNothingForEitherPart) {
    LogSinkCapture log(1);
    const Bytes pck = embeddedWithImageType(3);
    EXPECT_EQ(check(pck, true, false), kFfPackageFormatError);
    EXPECT_TRUE(log.contains("No image to flash for the firmware")) << log.all();
    EXPECT_EQ(check(pck, false, true), kFfPackageFormatError);
    EXPECT_TRUE(log.contains("No image to flash for the software")) << log.all();
}

TEST(CheckImages, SoftwareImageServesTheSoftwareButNotTheFirmware) {
    const Bytes pck = embeddedWithImageType(11);
    EXPECT_EQ(check(pck, true, false), kFfPackageFormatError);
    EXPECT_EQ(check(pck, true, true), kFfPackageFormatError);
    EXPECT_EQ(check(pck, false, true), kFfOk);
}

TEST(CheckImages, EveryFirmwareImageTypeServesTheFirmware) {
    for (uint32_t type : {1u, 5u, 7u, 9u, 13u, 15u}) {
        const Bytes pck =
            package({tools::informationEntry(kInfoText), imageFile(smallImage(200), type)});
        EXPECT_EQ(check(pck, true, false), kFfOk) << "type " << type;
    }
}

TEST(CheckImages, NothingRequestedNeedsNoImageAndABrokenPackageIsAFormatError) {
    EXPECT_EQ(check(package({tools::informationEntry(kInfoText)}), false, false), kFfOk);
    EXPECT_EQ(check(package({tools::informationEntry(kInfoText)}), true, false),
              kFfPackageFormatError);
    Bytes broken = smallPackage();
    broken.resize(broken.size() - 1);
    EXPECT_EQ(check(broken, false, false), kFfPackageFormatError);
}

TEST(CheckImages, LeavesTheImageListOfTheFlashInProgressAlone) {
    ASSERT_EQ(flasher::buildImageList(embeddedPackage().data(), embeddedPackage().size()), kFfOk);
    const Bytes other = embeddedWithImageType(3);
    EXPECT_EQ(check(other, true, false), kFfPackageFormatError);
    const flasher::Library& object = flasher::library();
    ASSERT_EQ(object.imageList.size(), 1u);
    EXPECT_EQ(object.imageList.front().fileType, 9u);
    EXPECT_EQ(object.imageList.front().data, embeddedPackage().data() + kEmbeddedImageOffset);
}

} // namespace
