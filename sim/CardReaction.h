#pragma once

#include "sim/TimerQueue.h"

#include <cstdint>
#include <functional>

// How long a simulated card's reactions to the updater last: what a card does because the
// updater asked (leave the bus, come back) lasts at least a floor of real time at every time
// scale, and a card that resets after answering waits until its answer has been read. A loaded
// machine may let the updater's reader wait that long before it takes the card's last answer,
// and its device watcher before it sees the card gone.
namespace cardsim {

constexpr uint64_t kReactionFloorRealMs = 100;
// A reset waits no longer than this for the updater to read the card's last answer.
constexpr uint64_t kUnreadWaitRealMs = 10000;

// `ms` logical milliseconds, or the reaction floor when that is longer at the current scale.
uint64_t reactionDelay(uint64_t ms);

// Runs `action` on `timers` once reactionDelay(afterMs) has passed and `unread` says the
// updater holds the card's answers, or kUnreadWaitRealMs after that at the latest. A terminal
// whose master closes discards what its client had not read, as a tty does when its USB device
// goes; a real card's answer is in the host's hands before the card resets.
void runOnceAnswersRead(TimerQueue& timers, uint64_t afterMs, std::function<bool()> unread,
                        std::function<void()> action);

// Blocks until `unread` says the updater holds what the card sent, or kUnreadWaitRealMs at the
// latest: a card that answers in pieces sends the next one only after the host took the last.
void waitUntilAnswersRead(const std::function<bool()>& unread);

} // namespace cardsim
