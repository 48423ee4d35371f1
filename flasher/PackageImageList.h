#pragma once

// Collects the images of a package that FfFlash downloads.

#include "flasher/Ff.h"
#include "flasher/Library.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flasher {

// Fills `list` and `total` from the package (or bare wrapped image) in the caller's memory:
// 0 or 0x20000028. The list points into that memory.
FfResult collectImages(const uint8_t* data, size_t length, std::vector<ImageListEntry>& list,
                       uint32_t& total);

// Fills the library's image list and total (collectImages into the library object).
FfResult buildImageList(const uint8_t* data, size_t length);

// File type of a bare wrapped image, from its image kind.
uint32_t fileTypeForImageKind(uint32_t kind);

// True for the file types whose payload counts in the total (and that FfFlash may select).
bool isFlashedImageType(uint32_t fileType);

// True for the file types that hold a wrapped image: the flashed ones and the unflashed type 3,
// which the image list carries without its header checked or its payload counted.
bool isImageFileType(uint32_t fileType);

} // namespace flasher
