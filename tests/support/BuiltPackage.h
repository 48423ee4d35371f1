#pragma once

// The firmware package the build generates, for tests that stand it in for the package the
// executable embeds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace testsupport {

// resources/package/QT0880.pck of the build tree: KESTREL_BUILD_DIR, or, when the test program
// is run by hand, three folders above it.
inline const std::vector<uint8_t>& builtPackageBytes() {
    static const std::vector<uint8_t> bytes = [] {
        std::filesystem::path build;
        if (const char* dir = std::getenv("KESTREL_BUILD_DIR"))
            build = dir;
        else
            build = std::filesystem::read_symlink("/proc/self/exe")
                        .parent_path()
                        .parent_path()
                        .parent_path();
        std::ifstream in(build / "resources/package/QT0880.pck", std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

// A PackageImage embedded lookup that hands out the built package in place.
inline bool builtPackageLookup(const uint8_t*& data, size_t& size) {
    data = builtPackageBytes().data();
    size = builtPackageBytes().size();
    return size > 0;
}

} // namespace testsupport
