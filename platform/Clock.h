#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <string>

// Every pause, wait, timeout and timer period of Kestrel goes through this clock. Durations are
// given in logical milliseconds; KESTREL_TIME_SCALE (default 1) says how many real milliseconds
// one logical millisecond lasts, so tests run the real code paths quickly at a small scale.
namespace platform {

// A wait that never times out, like Win32 INFINITE.
constexpr uint32_t kInfiniteMs = 0xFFFFFFFFu;

// The factor in force. Read from the environment on first use; a bad value is reported once on
// standard error and replaced by 1.
double timeScale();

// Checks a candidate value of KESTREL_TIME_SCALE: a finite number greater than 0. On rejection
// `problem` says why.
bool parseTimeScale(const std::string& text, double& scale, std::string& problem);

// Replaces the factor for the rest of the process (tests only). Logical time stays monotonic.
void overrideTimeScale(double scale);

// Real duration of `ms` logical milliseconds.
std::chrono::nanoseconds realDuration(uint64_t ms);

// Logical milliseconds that last at least `realMs` real milliseconds at the current scale: for
// waits on what does not follow the scale (a kernel, a scheduler under load).
uint64_t logicalFromRealMs(uint64_t realMs);

// Logical milliseconds since an arbitrary start; monotonic.
uint64_t tickMs();

// Pauses the calling thread for `ms` logical milliseconds.
void sleepMs(uint64_t ms);

// Waits on `condition` until `ready()` holds or `ms` logical milliseconds have passed
// (kInfiniteMs waits without limit). Returns what `ready()` returned last.
template <class Condition, class Lock, class Predicate>
bool waitFor(Condition& condition, Lock& lock, uint64_t ms, Predicate ready) {
    if (ms == kInfiniteMs) {
        condition.wait(lock, ready);
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + realDuration(ms);
    return condition.wait_until(lock, deadline, ready);
}

} // namespace platform
