#pragma once

// A package recipe: a text of "key = value" lines ("#" starts a comment; texts in double quotes
// take C escapes) that describes a package holding an information entry and one firmware image
// in the firmware layout. Keys:
//   tool-version (M.N), chipset, info,
//   file-type, file-name (its "%08X" takes the stream CRC-32), file-tag, file-word628,
//   image-magic, image-word12, image-kind, image-word20, image-size, tail-size,
//   firmware (a file, relative to the recipe, whose text starts the zlib content),
//   data-checksum, entry-checksum.

#include "tools/PackageBuilder.h"

#include <string>

namespace tools {

// Builds the package the recipe at `path` describes. False with `problem` on any error.
bool buildPackageFromRecipe(const std::string& path, Bytes& package, std::string& problem);

} // namespace tools
