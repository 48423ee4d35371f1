#pragma once

#include <cstdint>

// The logical milliseconds of the time scale as the real milliseconds the Win32 waits take.
namespace platform {

// `ms` logical milliseconds in real ones, rounded up so that a non-zero wait never becomes 0;
// kInfiniteMs stays infinite and values beyond the Win32 range are capped just below it.
uint32_t realMs(uint32_t ms);

} // namespace platform
