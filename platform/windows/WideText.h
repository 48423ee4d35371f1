#pragma once

#include <cstdint>
#include <string>

// UTF-8 and the UTF-16 of the wide Win32 calls, and the logical milliseconds of the time scale
// as the real milliseconds those calls take.
namespace platform {

std::wstring wideText(const std::string& text);
std::string narrowText(const std::wstring& text);

// `ms` logical milliseconds in real ones, rounded up so that a non-zero wait never becomes 0;
// kInfiniteMs stays infinite and values beyond the Win32 range are capped just below it.
uint32_t realMs(uint32_t ms);

} // namespace platform
