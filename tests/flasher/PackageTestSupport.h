#pragma once

// Shared helpers of the package tests: the embedded package, small packages built to order, and
// a capture of the library's log sink.

#include "flasher/Ff.h"
#include "tools/PackageBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace packagetest {

using tools::Bytes;

// The package the build generates from its recipe.
inline const Bytes& embeddedPackage() {
    static const Bytes bytes = [] {
        std::ifstream in(KESTREL_EMBEDDED_PACKAGE_PATH, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    return bytes;
}

constexpr size_t kEmbeddedInfoOffset = 17 + 12;
constexpr size_t kEmbeddedFileEntryOffset = kEmbeddedInfoOffset + 107;
constexpr size_t kEmbeddedFileHeaderOffset = kEmbeddedFileEntryOffset + 12;
constexpr size_t kEmbeddedImageOffset = kEmbeddedFileHeaderOffset + 644;
constexpr size_t kEmbeddedImageSize = 3471536;

inline const std::string kInfoText =
    "ati\r\nManufacturer: Velmar N.V.\r\nModel: QT0880\r\nRevision: 3.19.0 (Date: Mar 16 2010, "
    "Time: 15:03:03)\r\n\r\nOK\r\n";

// Collects what the library hands its log sink, as narrow texts.
class LogSinkCapture {
public:
    explicit LogSinkCapture(int32_t level = 4) {
        lines().clear();
        FfInitialise(level, &LogSinkCapture::sink, 0);
    }
    ~LogSinkCapture() { FfInitialise(0, nullptr, 0); }

    static std::vector<std::string>& lines() {
        static std::vector<std::string> collected;
        return collected;
    }
    bool contains(const std::string& text) const {
        return std::any_of(lines().begin(), lines().end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    bool hasLine(const std::string& text) const {
        return std::find(lines().begin(), lines().end(), text) != lines().end();
    }
    std::string all() const {
        std::string joined;
        for (const std::string& line : lines())
            joined += line + "|";
        return joined;
    }

private:
    static void sink(const wchar_t* text) {
        std::string narrow;
        for (const wchar_t* unit = text; *unit; ++unit)
            narrow.push_back(static_cast<char>(*unit));
        lines().push_back(narrow);
    }
};

// A wrapped image of the firmware layout's header with a small payload.
inline Bytes smallImage(size_t payloadSize, uint32_t kind = 0x01000000, uint8_t seed = 1) {
    tools::WrappedImageSpec spec;
    spec.kind = kind;
    Bytes payload = tools::fillerBytes(payloadSize, seed);
    return tools::buildWrappedImage(spec, payload);
}

inline tools::PackageEntry imageFile(const Bytes& image, uint32_t type = 9,
                                     const std::string& name = "image.wrapped") {
    tools::PackageFileSpec file;
    file.fileType = type;
    file.name = name;
    file.tag = "-MOD-";
    file.data = image;
    return tools::fileEntry(file);
}

inline tools::PackageEntry textFile(const std::string& text, uint32_t type,
                                    const std::string& name = "text.txt") {
    tools::PackageFileSpec file;
    file.fileType = type;
    file.name = name;
    file.data.assign(text.begin(), text.end());
    return tools::fileEntry(file);
}

inline Bytes package(std::vector<tools::PackageEntry> entries) {
    tools::PackageSpec spec;
    spec.entries = std::move(entries);
    return tools::buildPackage(spec);
}

// A small package like the embedded one: information text and one type-9 image.
inline Bytes smallPackage(size_t payloadSize = 200) {
    return package({tools::informationEntry(kInfoText), imageFile(smallImage(payloadSize))});
}

inline FfResult infoOf(const Bytes& data, int32_t kind, FfInfoRecord& record) {
    return FfGetInfoPck(L"QT0880", kind, data.data(), static_cast<uint32_t>(data.size()), &record);
}

} // namespace packagetest
