#pragma once

#include "platform/WideText.h"

#include <cstddef>
#include <string>

// The library's texts: UTF-16 in records and NwCardInfo, UTF-8 from the device tree and in log
// arguments, wchar_t for the log callback.
namespace detection {

using platform::utf16FromUtf8;
using platform::utf8FromUtf16;
using platform::utf8FromWide;
using platform::wideFromUtf8;

// A zero-terminated UTF-16 field as a string.
std::u16string textOf(const char16_t* field, size_t capacity);

// Copies a text into a fixed field, cut to capacity - 1 units and terminated.
void copyText(char16_t* field, size_t capacity, const std::u16string& text);

template <size_t N> std::u16string textOf(const char16_t (&field)[N]) {
    return textOf(field, N);
}
template <size_t N> void copyText(char16_t (&field)[N], const std::u16string& text) {
    copyText(field, N, text);
}
template <size_t N> std::string utf8Of(const char16_t (&field)[N]) {
    return utf8FromUtf16(textOf(field, N));
}

} // namespace detection
