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

// The latest time a wait for the updater to read, starting at `startMs`, lasts.
uint64_t unreadDeadlineMs(uint64_t startMs) {
    return startMs + platform::logicalFromRealMs(kUnreadWaitRealMs);
}

// Whether a wait for the updater to read goes on: the card's answer is still unread and the
// deadline has not come.
bool keepWaitingForRead(const std::function<bool()>& unread, uint64_t deadlineMs) {
    return unread() && platform::tickMs() < deadlineMs;
}

void runWhenRead(const std::shared_ptr<PendingReaction>& pending) {
    if (keepWaitingForRead(pending->unread, pending->deadlineMs)) {
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
    auto pending = std::make_shared<PendingReaction>(
        PendingReaction{timers, unreadDeadlineMs(platform::tickMs() + delay), std::move(unread),
                        std::move(action)});
    timers.add(delay, [pending] { runWhenRead(pending); });
}

void waitUntilAnswersRead(const std::function<bool()>& unread) {
    const uint64_t deadlineMs = unreadDeadlineMs(platform::tickMs());
    while (keepWaitingForRead(unread, deadlineMs))
        platform::sleepMs(platform::logicalFromRealMs(kUnreadCheckRealMs));
}

} // namespace cardsim
