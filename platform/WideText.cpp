#include "platform/WideText.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kMaxCodePoint = 0x10FFFF;
// Windows' wchar_t holds UTF-16 units, other systems' whole code points.
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == sizeof(char16_t);

// Decodes the next code point of UTF-8 text; malformed bytes give U+FFFD and advance by one.
char32_t nextCodePoint(const std::string& text, size_t& position) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(position);
    size_t length = 0;
    char32_t value = 0;
    if (lead < 0x80) {
        ++position;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
    } else {
        ++position;
        return kReplacement;
    }
    if (position + length > text.size()) {
        ++position;
        return kReplacement;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(position + i) & 0xC0) != 0x80) {
            ++position;
            return kReplacement;
        }
        value = (value << 6) | (byte(position + i) & 0x3F);
    }
    position += length;
    if (value > kMaxCodePoint || (value >= 0xD800 && value <= 0xDFFF))
        return kReplacement;
    return value;
}

void appendUtf8(std::string& out, char32_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (value >> 6)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (value >> 12)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (value >> 18)));
        out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

} // namespace

std::u16string utf16FromUtf8(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t position = 0; position < text.size();) {
        const char32_t value = nextCodePoint(text, position);
        if (value >= 0x10000) {
            const char32_t offset = value - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(value));
        }
    }
    return out;
}

std::string utf8FromUtf16(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t value = text[i];
        if (value >= 0xD800 && value <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            value = 0x10000 + ((value - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (value >= 0xD800 && value <= 0xDFFF) {
            value = kReplacement;
        }
        appendUtf8(out, value);
    }
    return out;
}

std::wstring wideFromUtf8(const std::string& text) {
    if constexpr (kWideIsUtf16) {
        const std::u16string utf16 = utf16FromUtf8(text);
        return std::wstring(utf16.begin(), utf16.end());
    }
    std::wstring out;
    out.reserve(text.size());
    for (size_t position = 0; position < text.size();)
        out.push_back(static_cast<wchar_t>(nextCodePoint(text, position)));
    return out;
}

std::string utf8FromWide(const std::wstring& text) {
    if constexpr (kWideIsUtf16)
        return utf8FromUtf16(std::u16string(text.begin(), text.end()));
    std::string out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        const auto value = static_cast<char32_t>(c);
        appendUtf8(out, value > kMaxCodePoint || (value >= 0xD800 && value <= 0xDFFF) ? kReplacement
                                                                                      : value);
    }
    return out;
}

} // namespace platform
