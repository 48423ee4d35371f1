#include "flasher/FfLogger.h"

#include "platform/Environment.h"

#include <cstdio>

namespace flasher {
namespace {

// Without a sink, messages go where a debugger would read them; on this system that is
// standard error, and only when KESTREL_DEBUG_OUTPUT is set, so that quiet clients stay quiet.
void debuggerOutput(const wchar_t* text) {
    static const bool enabled = platform::environmentValue("KESTREL_DEBUG_OUTPUT").has_value();
    if (enabled)
        std::fprintf(stderr, "%ls\n", text);
}

size_t decodeUtf8(const unsigned char* text, uint32_t& codePoint) {
    const unsigned char lead = text[0];
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    for (size_t index = 1; index < length; ++index) {
        if ((text[index] & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (text[index] & 0x3F);
    }
    if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) ||
        codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

void toWide(const char* text, wchar_t* wide, size_t capacity) {
    if (capacity == 0)
        return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t out = 0;
    while (*bytes != 0 && out + 1 < capacity) {
        uint32_t codePoint = 0;
        const size_t length = *bytes < 0x80 ? 0 : decodeUtf8(bytes, codePoint);
        if (length == 0) {
            wide[out++] = static_cast<wchar_t>(*bytes);
            ++bytes;
        } else {
            wide[out++] = static_cast<wchar_t>(codePoint);
            bytes += length;
        }
    }
    wide[out] = L'\0';
}

void FfLogger::setLogger(int32_t level, FfLogSink sink, uint32_t context) {
    level_ = level;
    sink_ = sink;
    context_ = context;
}

void FfLogger::takeLoggerOf(const FfLogger& other) {
    level_ = other.level_;
    sink_ = other.sink_;
}

void FfLogger::log(int32_t level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    logv(level, format, arguments);
    va_end(arguments);
}

void FfLogger::logv(int32_t level, const char* format, va_list arguments) {
    if (!logs(level))
        return;
    std::vsnprintf(message_, sizeof message_, format, arguments);
    wchar_t wide[kLoggerTextSize];
    toWide(message_, wide, kLoggerTextSize);
    if (sink_ != nullptr)
        sink_(wide);
    else
        debuggerOutput(wide);
}

void FfLogger::setLastError(const char* format, ...) {
    // The arguments may quote the old text, so format into a copy first.
    char text[kLoggerTextSize];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    std::snprintf(lastError_, sizeof lastError_, "%s", text);
}

FfLogger& sharedLogger() {
    static FfLogger logger;
    return logger;
}

} // namespace flasher
