#include "platform/Clock.h"

#include "platform/Environment.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

namespace platform {
namespace {

constexpr const char* kTimeScaleVariable = "KESTREL_TIME_SCALE";

struct ClockState {
    std::mutex mutex;
    double scale = 1.0;
    // Logical time at `base` and the real instant it was taken; moved forward when the
    // scale changes so that tickMs never goes back.
    double logicalBaseMs = 0.0;
    std::chrono::steady_clock::time_point base = std::chrono::steady_clock::now();
};

double scaleFromEnvironment() {
    const auto text = environmentValue(kTimeScaleVariable);
    if (!text)
        return 1.0;
    double scale = 1.0;
    std::string problem;
    if (!parseTimeScale(*text, scale, problem)) {
        std::fprintf(stderr, "kestrel: %s='%s' rejected (%s); using 1\n", kTimeScaleVariable,
                     text->c_str(), problem.c_str());
        return 1.0;
    }
    return scale;
}

ClockState& state() {
    static ClockState* clock = [] {
        auto* created = new ClockState;
        created->scale = scaleFromEnvironment();
        return created;
    }();
    return *clock;
}

double logicalNowMs(ClockState& clock, std::chrono::steady_clock::time_point now) {
    const double realMs = std::chrono::duration<double, std::milli>(now - clock.base).count();
    return clock.logicalBaseMs + realMs / clock.scale;
}

} // namespace

bool parseTimeScale(const std::string& text, double& scale, std::string& problem) {
    if (text.empty()) {
        problem = "empty";
        return false;
    }
    // from_chars ignores the C locale, which the GUI toolkit may have switched to one whose
    // decimal separator is not ".".
    double value = 0.0;
    const char* const last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (error == std::errc::result_out_of_range) {
        problem = "out of range";
        return false;
    }
    if (error != std::errc() || end != last) {
        problem = "not a number";
        return false;
    }
    if (!std::isfinite(value) || value <= 0.0) {
        problem = "must be a finite number greater than 0";
        return false;
    }
    scale = value;
    return true;
}

double timeScale() {
    ClockState& clock = state();
    std::lock_guard<std::mutex> guard(clock.mutex);
    return clock.scale;
}

void overrideTimeScale(double scale) {
    if (!(scale > 0.0) || !std::isfinite(scale))
        return;
    ClockState& clock = state();
    std::lock_guard<std::mutex> guard(clock.mutex);
    const auto now = std::chrono::steady_clock::now();
    clock.logicalBaseMs = logicalNowMs(clock, now);
    clock.base = now;
    clock.scale = scale;
}

std::chrono::nanoseconds realDuration(uint64_t ms) {
    const double ns = static_cast<double>(ms) * 1e6 * timeScale();
    // Keep far-away deadlines representable.
    constexpr double kLimitNs = 1e18;
    return std::chrono::nanoseconds(static_cast<int64_t>(ns < kLimitNs ? ns : kLimitNs));
}

uint64_t logicalFromRealMs(uint64_t realMs) {
    return static_cast<uint64_t>(std::ceil(static_cast<double>(realMs) / timeScale()));
}

uint64_t tickMs() {
    ClockState& clock = state();
    std::lock_guard<std::mutex> guard(clock.mutex);
    const double logicalMs = logicalNowMs(clock, std::chrono::steady_clock::now());
    // A very small scale runs logical time very fast; keep the conversion defined.
    constexpr double kLimitMs = 1.8e19;
    return logicalMs < kLimitMs ? static_cast<uint64_t>(logicalMs) : UINT64_MAX;
}

void sleepMs(uint64_t ms) {
    if (ms == 0)
        return;
    std::this_thread::sleep_for(realDuration(ms));
}

} // namespace platform
