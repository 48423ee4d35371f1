#include "platform/ModemInhibitor.h"

#include "platform/Clock.h"

#include <algorithm>
#include <system_error>

namespace platform {
namespace {

// A connection manager restarted while the card is away knows the card only once it is back:
// the card returns within 60 s of leaving (its contract), and is then known within the find
// time.
constexpr uint64_t kCardReturnMs = 60000;

} // namespace

ModemInhibitor::~ModemInhibitor() {
    release();
}

ModemInhibitor::Outcome ModemInhibitor::hold(const std::string& instanceId) {
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> guard(cancelMutex_);
        generation = cancelGeneration_;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    Outcome outcome;
    if (instanceId == instanceId_ && inhibited_ && connection_ && connection_->owner() == heldBy_) {
        outcome.modem = held_;
        outcome.alreadyHeld = true;
        return outcome;
    }
    if (instanceId != instanceId_)
        releaseLocked();
    if (!connection_) {
        connection_ = ModemManagerConnection::open(outcome.result, outcome.detail);
        if (!connection_)
            return outcome;
    }
    instanceId_ = instanceId;
    if (!watcher_.joinable()) {
        ModemManagerResult watchResult = ModemManagerResult::ok;
        std::string watchDetail;
        watchConnection_ = ModemManagerConnection::open(watchResult, watchDetail);
        // Watched before the first search below: a daemon that starts after it is asked.
        if (watchConnection_ && !watchConnection_->watchOwner())
            watchConnection_.reset();
        if (watchConnection_) {
            {
                std::lock_guard<std::mutex> watchGuard(cancelMutex_);
                watching_ = true;
            }
            try {
                watcher_ = std::thread([this] { watch(); });
            } catch (const std::system_error&) {
                watchConnection_.reset();
            }
        }
    }
    return inhibitLocked(generation, kFindTimeoutMs);
}

// Asks until the card is inhibited, the connection manager knows no such card for
// `notFoundLimitMs`, still probes it after kProbingTimeoutMs, refuses otherwise, or the search
// is cancelled.
ModemInhibitor::Outcome ModemInhibitor::inhibitLocked(uint64_t generation,
                                                      uint64_t notFoundLimitMs) {
    Outcome outcome;
    inhibited_ = false;
    const std::string kernelName = usbKernelName(instanceId_);
    const uint64_t start = tickMs();
    for (;;) {
        const std::string owner = connection_->owner();
        outcome.result = connection_->findModem(kernelName, outcome.modem, outcome.detail);
        // A card that is not listed may be known but still probed: asking tells.
        if (outcome.result == ModemManagerResult::ok ||
            (outcome.result == ModemManagerResult::notFound && !outcome.modem.uid.empty()))
            outcome.result = connection_->inhibit(outcome.modem.uid, true, outcome.detail);
        if (outcome.result == ModemManagerResult::ok) {
            outcome.again = everInhibited_;
            everInhibited_ = true;
            inhibited_ = true;
            held_ = outcome.modem;
            heldBy_ = owner;
            return outcome;
        }
        const uint64_t limit = outcome.result == ModemManagerResult::probing    ? kProbingTimeoutMs
                               : outcome.result == ModemManagerResult::notFound ? notFoundLimitMs
                                                                                : 0;
        const uint64_t elapsed = tickMs() - start;
        if (elapsed >= limit)
            return outcome;
        std::unique_lock<std::mutex> lock(cancelMutex_);
        if (waitFor(cancelled_, lock, std::min(kFindRetryMs, limit - elapsed),
                    [&] { return cancelGeneration_ != generation; }))
            return outcome;
    }
}

ModemInhibitor::Outcome ModemInhibitor::release() {
    stopWatch();
    std::lock_guard<std::mutex> guard(mutex_);
    return releaseLocked();
}

ModemInhibitor::Outcome ModemInhibitor::releaseLocked() {
    Outcome outcome;
    if (!connection_)
        return outcome;
    if (inhibited_) {
        outcome.modem = held_;
        outcome.result = connection_->inhibit(held_.uid, false, outcome.detail);
    }
    // Closing the connection ends the inhibition too, whatever the call above answered.
    connection_.reset();
    instanceId_.clear();
    held_ = {};
    heldBy_.clear();
    inhibited_ = false;
    everInhibited_ = false;
    return outcome;
}

void ModemInhibitor::cancel() {
    {
        std::lock_guard<std::mutex> guard(cancelMutex_);
        ++cancelGeneration_;
    }
    cancelled_.notify_all();
}

bool ModemInhibitor::holding() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return inhibited_ && connection_ && connection_->owner() == heldBy_;
}

void ModemInhibitor::watch() {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(cancelMutex_);
            if (!watching_)
                return;
        }
        if (watchConnection_->waitForOwnerChange(kWatchSliceMs))
            ownerChanged();
    }
}

// Whoever answers now has not inhibited the card: ask it, for as long as the card may take to
// come back and be known, and tell the listener how that went unless release ended the search.
void ModemInhibitor::ownerChanged() {
    std::unique_lock<std::mutex> guard(mutex_);
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> watchGuard(cancelMutex_);
        if (!watching_)
            return;
        generation = cancelGeneration_;
    }
    if (instanceId_.empty() || !connection_)
        return;
    // The daemon that holds the card may have come between the watch's start and the first
    // search, which found it: nothing changed for the card then.
    const std::string owner = connection_->owner();
    if (inhibited_ && owner == heldBy_)
        return;
    inhibited_ = false;
    if (owner.empty())
        return;
    const Outcome outcome = inhibitLocked(generation, kCardReturnMs + kFindTimeoutMs);
    guard.unlock();
    {
        std::lock_guard<std::mutex> watchGuard(cancelMutex_);
        if (!watching_)
            return;
    }
    if (listener_)
        listener_(outcome);
}

void ModemInhibitor::stopWatch() {
    {
        std::lock_guard<std::mutex> guard(cancelMutex_);
        watching_ = false;
        // A search of the watch ends with it.
        ++cancelGeneration_;
    }
    cancelled_.notify_all();
    if (watcher_.joinable())
        watcher_.join();
    watchConnection_.reset();
}

} // namespace platform
