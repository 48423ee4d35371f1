#pragma once

// Prints every field of a firmware package or of a bare wrapped image and checks them.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace tools {

// Writes a description of the data to `out`. True when it is a sound package or image; false
// with `fault` naming the first problem found (the description stops there).
bool inspect(const uint8_t* data, size_t length, std::ostream& out, std::string& fault);

} // namespace tools
