#include "platform/windows/WideText.h"

#include "platform/Clock.h"

#include <windows.h>

#include <chrono>

namespace platform {

std::wstring wideText(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::string narrowText(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

uint32_t realMs(uint32_t ms) {
    if (ms == kInfiniteMs || ms == 0)
        return ms;
    const auto real = std::chrono::duration_cast<std::chrono::microseconds>(realDuration(ms));
    constexpr int64_t kMicrosecondsPerMs = 1000;
    const int64_t rounded = (real.count() + kMicrosecondsPerMs - 1) / kMicrosecondsPerMs;
    if (rounded >= static_cast<int64_t>(kInfiniteMs))
        return kInfiniteMs - 1;
    return rounded < 1 ? 1 : static_cast<uint32_t>(rounded);
}

} // namespace platform
