#pragma once

#include <string>

// Conversions between UTF-8, UTF-16 and wchar_t text (UTF-16 where wchar_t has 16 bits, as the
// wide Win32 calls take it, UTF-32 elsewhere). Malformed input becomes U+FFFD.
namespace platform {

std::u16string utf16FromUtf8(const std::string& text);
std::string utf8FromUtf16(const std::u16string& text);
std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const std::wstring& text);

} // namespace platform
