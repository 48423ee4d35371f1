#include "platform/SleepInhibitor.h"

#include "platform/NativeBackend.h"
#include "platform/SystemPaths.h"
#include "platform/sim/SleepInhibitorSimulated.h"

namespace platform {

SleepInhibitor::~SleepInhibitor() {
    release();
}

SleepInhibitor::Outcome SleepInhibitor::take(const std::string& why) {
    std::lock_guard<std::mutex> guard(mutex_);
    Outcome outcome;
    if (lock_) {
        outcome.alreadyHeld = true;
        return outcome;
    }
    if (const auto root = simulatedMachineRoot())
        lock_ =
            takeSimulatedInhibitor(*root, kWhat, kWho, why, kMode, outcome.result, outcome.detail);
    else
        lock_ = takeSystemInhibitor(kWhat, kWho, why, kMode, outcome.result, outcome.detail);
    return outcome;
}

bool SleepInhibitor::release() {
    std::unique_ptr<InhibitorLock> lock;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        lock = std::move(lock_);
    }
    return lock != nullptr;
}

bool SleepInhibitor::held() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lock_ != nullptr;
}

} // namespace platform
