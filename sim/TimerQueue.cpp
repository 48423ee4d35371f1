#include "sim/TimerQueue.h"

#include "platform/Clock.h"

#include <algorithm>

namespace cardsim {

void TimerQueue::add(uint64_t afterMs, std::function<void()> action) {
    timers_.push_back({platform::tickMs() + afterMs, nextOrder_++, std::move(action)});
}

uint64_t TimerQueue::nextDelay() const {
    if (timers_.empty())
        return platform::kInfiniteMs;
    const uint64_t now = platform::tickMs();
    uint64_t nearest = timers_.front().dueMs;
    for (const Timer& timer : timers_)
        nearest = std::min(nearest, timer.dueMs);
    return nearest > now ? nearest - now : 0;
}

void TimerQueue::runDue() {
    for (;;) {
        const uint64_t now = platform::tickMs();
        auto due = timers_.end();
        for (auto timer = timers_.begin(); timer != timers_.end(); ++timer) {
            if (timer->dueMs <= now && (due == timers_.end() || timer->dueMs < due->dueMs ||
                                        (timer->dueMs == due->dueMs && timer->order < due->order)))
                due = timer;
        }
        if (due == timers_.end())
            return;
        std::function<void()> action = std::move(due->action);
        timers_.erase(due);
        action();
    }
}

} // namespace cardsim
