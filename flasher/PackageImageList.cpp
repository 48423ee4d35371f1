#include "flasher/PackageImageList.h"

#include "flasher/Library.h"
#include "flasher/PackageReader.h"
#include "flasher/WrappedImage.h"

namespace flasher {
namespace {

constexpr size_t kTrailerLength = 4;

uint32_t trailerOf(const uint8_t* data, size_t size) {
    return size >= kTrailerLength ? readLittleEndian32(data + size - kTrailerLength) : 0;
}

FfResult formatError(Library& object, const char* text) {
    object.setLastError("%s", text);
    object.log(kLevelError, "%s", text);
    return kFfPackageFormatError;
}

} // namespace

uint32_t fileTypeForImageKind(uint32_t kind) {
    switch (kind) {
    case 0:
        return 9;
    case 2:
        return 5;
    case 3:
        return 7;
    case 4:
        return 17;
    case 5:
        return kFileTypeUnflashedImage;
    case 6:
        return kFileTypeSoftwareImage;
    case 7:
        return 7;
    case 8:
        return 13;
    case 9:
        return 15;
    default:
        return 20;
    }
}

bool isFlashedImageType(uint32_t fileType) {
    switch (fileType) {
    case 1:
    case 5:
    case 7:
    case 9:
    case 11:
    case 13:
    case 15:
        return true;
    default:
        return false;
    }
}

bool isImageFileType(uint32_t fileType) {
    return isFlashedImageType(fileType) || fileType == kFileTypeUnflashedImage;
}

FfResult buildImageList(const uint8_t* data, size_t length) {
    Library& object = library();
    return collectImages(data, length, object.imageList, object.imageTotal);
}

namespace {

// Data without a package header is taken as one bare wrapped image; a header that does not
// parse reads as kind 0.
FfResult collectBareImage(Library& object, const uint8_t* data, size_t length,
                          std::vector<ImageListEntry>& list, uint32_t& total) {
    object.setLastError("Unknown format input package");
    WrappedHeader header;
    parseWrappedHeader(data, length, header);
    ImageListEntry entry;
    entry.fileType = fileTypeForImageKind(imageKind(header));
    entry.data = data;
    entry.size = static_cast<uint32_t>(length);
    entry.trailer = trailerOf(data, length);
    total = static_cast<uint32_t>(length);
    list.push_back(entry);
    return kFfOk;
}

// Lists a file entry that holds an image; other entries are passed over.
FfResult collectImageEntry(Library& object, const PackageEntry& entry,
                           std::vector<ImageListEntry>& list, uint32_t& total) {
    if (entry.header.type != kEntryTypeFile || !isImageFileType(entry.file.fileType))
        return kFfOk;
    const PackageFileHeader& file = entry.file;
    ImageListEntry image;
    image.fileType = file.fileType;
    image.data = entry.data;
    image.size = file.dataSize;
    if (isFlashedImageType(file.fileType)) {
        WrappedHeader header;
        const int parsed = parseWrappedHeader(entry.data, file.dataSize, header);
        // A header checksum failure is passed over here; the download refuses it.
        if (parsed == kWrappedHeaderUnknownMagic || parsed == kWrappedHeaderTruncated)
            return formatError(object, "Unknown format input wrapped file");
        if (static_cast<uint64_t>(header.headerLength) + header.payloadSize != file.dataSize)
            return formatError(object, "Wrong wrapped file size value in header");
        image.trailer = trailerOf(entry.data, file.dataSize);
        total += header.payloadSize;
    }
    list.push_back(image);
    return kFfOk;
}

} // namespace

FfResult collectImages(const uint8_t* data, size_t length, std::vector<ImageListEntry>& list,
                       uint32_t& total) {
    Library& object = library();
    list.clear();
    total = 0;
    if (!data || length == 0)
        return formatError(object, "No package data");
    const uint8_t* const end = data + length;
    const size_t mainHeader = readMainHeader(data, end);
    if (mainHeader == 0)
        return collectBareImage(object, data, length, list, total);

    const uint8_t* cursor = data + mainHeader;
    FfResult result = kFfOk;
    const auto collect = [&](const PackageEntry& entry) {
        result = collectImageEntry(object, entry, list, total);
        return result == kFfOk;
    };
    for (;;) {
        PackageEntryHeader unknown;
        switch (walkPackageEntries(cursor, end, collect, unknown)) {
        case PackageWalk::Ended:
        case PackageWalk::Stopped:
            return result;
        case PackageWalk::FormatError:
            return formatError(object, "Wrong File Format");
        case PackageWalk::UnknownEntry:
            // An entry of a type this library does not know is stepped over whole.
            if (unknown.payloadSize > static_cast<size_t>(end - cursor))
                return formatError(object, "Unknown package entry points past the package end");
            cursor += unknown.payloadSize;
            break;
        }
    }
}

} // namespace flasher
