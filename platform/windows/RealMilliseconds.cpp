#include "platform/windows/RealMilliseconds.h"

#include "platform/Clock.h"

#include <chrono>

namespace platform {

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
