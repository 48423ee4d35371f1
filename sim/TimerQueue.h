#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace cardsim {

// The one-shot timers of a simulated card, run on the card's own serving thread: due timers run
// earliest first, those due at the same moment in the order they were added.
class TimerQueue {
public:
    // Runs `action` once `afterMs` logical milliseconds have passed.
    void add(uint64_t afterMs, std::function<void()> action);
    // Logical milliseconds until the nearest timer is due; kInfiniteMs without timers.
    uint64_t nextDelay() const;
    // Runs every timer that is due, including those that a running action adds already due.
    void runDue();

private:
    struct Timer {
        uint64_t dueMs;
        uint64_t order;
        std::function<void()> action;
    };
    std::vector<Timer> timers_;
    uint64_t nextOrder_ = 0;
};

} // namespace cardsim
