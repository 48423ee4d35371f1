// Fuzz body: the package readers, the image list and its check, the package information and the
// inspector on arbitrary bytes. Nothing may crash or read outside the input.

#include "flasher/PackageImageList.h"
#include "flasher/PackageInfo.h"
#include "flasher/PackageReader.h"
#include "tools/PackageInspector.h"

#include <cstring>
#include <sstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact copy, so that a read past the end is caught.
    const std::vector<uint8_t> input(data, data + size);
    const uint8_t* bytes = input.empty() ? nullptr : input.data();
    for (int32_t kind = 0; kind < 3; ++kind) {
        FfInfoRecord record;
        flasher::readPackageInfo(kind, bytes, input.size(), record);
        if (std::memchr(record.description, 0, sizeof record.description) == nullptr ||
            std::memchr(record.version, 0, sizeof record.version) == nullptr)
            __builtin_trap();
    }
    flasher::buildImageList(bytes, input.size());
    FfCheckImages(L"", true, true, bytes, static_cast<uint32_t>(input.size()));
    if (bytes) {
        const uint8_t* cursor = bytes;
        flasher::PackageFileHeader file;
        const uint8_t* found = nullptr;
        if (flasher::findPackageFile(cursor, input.size(), flasher::kFileTypeScript, file, found) ==
                0 &&
            found && (found < bytes || found + file.dataSize > bytes + input.size()))
            __builtin_trap();
    }
    std::ostringstream out;
    std::string fault;
    tools::inspect(bytes, input.size(), out, fault);
    return 0;
}
