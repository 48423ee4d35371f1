#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Kestrel {

// The firmware package in memory. A file ending in ".pck" beside the executable takes
// precedence; otherwise the package embedded in the executable is used in place, without a copy.
class PackageImage {
public:
    // Finds the embedded package (the resource RCDATA 101): true with its bytes, false when the
    // executable carries none.
    using EmbeddedLookup = bool (*)(const uint8_t*& data, size_t& size);

    PackageImage() = default;
    ~PackageImage();
    PackageImage(const PackageImage&) = delete;
    PackageImage& operator=(const PackageImage&) = delete;

    // 0, or 0x80000000 when neither a package file nor the embedded package is available.
    int32_t load();
    // Frees an owned copy; the image is then empty again.
    void release();

    const uint8_t* data() const { return bytes; }
    // Negative while nothing is loaded.
    int64_t size() const { return length; }
    // Set when the bytes belong to the executable and must not be freed.
    bool borrowed() const { return notOwned; }

    // Installed once at start-up by whoever knows the executable's resources.
    static void setEmbeddedLookup(EmbeddedLookup lookup);
    // The lookup of the programs: the package linked into the running executable as the
    // resource RCDATA 101.
    static bool resourcePackage(const uint8_t*& data, size_t& size);
    // The folder searched for package files; by default the running executable's folder.
    static void setModuleDirectory(const std::string& folder);
    static std::string moduleDirectory();

private:
    bool loadFile(const std::string& path);

    const uint8_t* bytes = nullptr;
    int64_t length = -1;
    bool notOwned = false;
};

} // namespace Kestrel
