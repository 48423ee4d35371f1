#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Looks at `done` every few milliseconds until it holds or `limit` of real time has passed;
// what it returned last. For events a test cannot wait on directly (a file appears, a process
// writes a line), with a bound generous enough for a loaded machine.
template <class Condition> bool waitUntil(Condition done, std::chrono::milliseconds limit) {
    constexpr auto kPollInterval = std::chrono::milliseconds(5);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

} // namespace testsupport
