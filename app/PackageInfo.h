#pragma once

#include "app/UpdateInfo.h"

#include <cstdint>
#include <string>

namespace Kestrel {

class PackageImage;

// The firmware and software information of the firmware package.
class PackageInfo {
public:
    // Loads the package and fills `target`: 0, 0x80000000 without a package, or the flashing
    // library's code. A package without firmware for the model, or without software, reads
    // successfully with that part not valid. `path` only names the package.
    static int32_t read(const std::wstring& path, int32_t model, PackageInfoData& target);

    // FfGetInfoPck on a loaded image; logs a failure and passes its code through, -1 when no
    // image is loaded.
    static int32_t information(int32_t model, int32_t kind, const PackageImage& image,
                               FfInfoRecord& record);
};

} // namespace Kestrel
