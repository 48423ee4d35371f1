#include "platform/ModemInhibitor.h"

#include "platform/Clock.h"

#include <algorithm>

namespace platform {

ModemInhibitor::~ModemInhibitor() {
    release();
}

ModemInhibitor::Outcome ModemInhibitor::hold(const std::string& instanceId) {
    std::lock_guard<std::mutex> guard(mutex_);
    Outcome outcome;
    if (connection_ && instanceId == instanceId_) {
        outcome.modem = held_;
        outcome.alreadyHeld = true;
        return outcome;
    }
    releaseLocked();
    auto connection = ModemManagerConnection::open(outcome.result, outcome.detail);
    if (!connection)
        return outcome;
    const std::string kernelName = usbKernelName(instanceId);
    const uint64_t deadline = tickMs() + kFindTimeoutMs;
    for (;;) {
        outcome.result = connection->findModem(kernelName, outcome.modem, outcome.detail);
        if (outcome.result == ModemManagerResult::ok)
            outcome.result = connection->inhibit(outcome.modem.uid, true, outcome.detail);
        const uint64_t now = tickMs();
        if (outcome.result != ModemManagerResult::notFound || now >= deadline)
            break;
        std::unique_lock<std::mutex> lock(cancelMutex_);
        if (waitFor(cancelled_, lock, std::min(kFindRetryMs, deadline - now),
                    [this] { return cancelRequested_; }))
            break;
    }
    if (outcome.result == ModemManagerResult::ok) {
        connection_ = std::move(connection);
        instanceId_ = instanceId;
        held_ = outcome.modem;
    }
    return outcome;
}

ModemInhibitor::Outcome ModemInhibitor::release() {
    std::lock_guard<std::mutex> guard(mutex_);
    return releaseLocked();
}

ModemInhibitor::Outcome ModemInhibitor::releaseLocked() {
    Outcome outcome;
    if (!connection_)
        return outcome;
    outcome.modem = held_;
    outcome.result = connection_->inhibit(held_.uid, false, outcome.detail);
    // Closing the connection ends the inhibition too, whatever the call above answered.
    connection_.reset();
    instanceId_.clear();
    held_ = {};
    return outcome;
}

void ModemInhibitor::cancel() {
    {
        std::lock_guard<std::mutex> guard(cancelMutex_);
        cancelRequested_ = true;
    }
    cancelled_.notify_all();
}

bool ModemInhibitor::holding() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return connection_ != nullptr;
}

} // namespace platform
