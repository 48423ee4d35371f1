#include "sim/CardReaction.h"

#include "platform/Clock.h"

#include <algorithm>
#include <memory>

namespace cardsim {
namespace {

// How often a reset looks again whether the updater has read the card's last answer.
constexpr uint64_t kUnreadCheckRealMs = 5;

struct PendingReaction {
    TimerQueue& timers;
    uint64_t deadlineMs;
    std::function<bool()> unread;
    std::function<void()> action;
};

void runWhenRead(const std::shared_ptr<PendingReaction>& pending) {
    if (pending->unread() && platform::tickMs() < pending->deadlineMs) {
        pending->timers.add(platform::logicalFromRealMs(kUnreadCheckRealMs),
                            [pending] { runWhenRead(pending); });
        return;
    }
    pending->action();
}

} // namespace

uint64_t reactionDelay(uint64_t ms) {
    return std::max(ms, platform::logicalFromRealMs(kReactionFloorRealMs));
}

void runOnceAnswersRead(TimerQueue& timers, uint64_t afterMs, std::function<bool()> unread,
                        std::function<void()> action) {
    const uint64_t delay = reactionDelay(afterMs);
    auto pending = std::make_shared<PendingReaction>(PendingReaction{
        timers, platform::tickMs() + delay + platform::logicalFromRealMs(kUnreadWaitRealMs),
        std::move(unread), std::move(action)});
    timers.add(delay, [pending] { runWhenRead(pending); });
}

void waitUntilAnswersRead(const std::function<bool()>& unread) {
    const uint64_t deadlineMs = platform::tickMs() + platform::logicalFromRealMs(kUnreadWaitRealMs);
    while (unread() && platform::tickMs() < deadlineMs)
        platform::sleepMs(platform::logicalFromRealMs(kUnreadCheckRealMs));
}

} // namespace cardsim
