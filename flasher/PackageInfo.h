#pragma once

// The firmware and software information a package offers (behind FfGetInfoPck).

#include "flasher/Ff.h"

#include <cstddef>
#include <cstdint>

namespace flasher {

constexpr int32_t kPackageInfoFirmware = 0;
constexpr int32_t kPackageInfoSoftware = 1;

// Software-version text of a type-11 image: 128 bytes at this payload offset.
constexpr size_t kSoftwareVersionOffset = 33086;
constexpr size_t kSoftwareVersionLength = 128;
constexpr size_t kSoftwareVersionTrailingBytes = 536;

// Clears `record` and fills it: 0, 0x20000028, 0x1000002A or 0x1000002B.
FfResult readPackageInfo(int32_t kind, const uint8_t* data, size_t length, FfInfoRecord& record);

// The 128 version bytes of a type-11 image (not zero-terminated); nullptr when the image is too
// short to hold them or its header does not parse.
const uint8_t* softwareVersionBytes(const uint8_t* image, size_t size);

} // namespace flasher
