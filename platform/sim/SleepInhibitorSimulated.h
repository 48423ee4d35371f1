#pragma once

#include "platform/SleepInhibitor.h"

#include <memory>
#include <string>

namespace platform {

// The simulated machine's inhibitor: DIR/sleep-inhibitor exists while it is held.
std::unique_ptr<InhibitorLock>
takeSimulatedInhibitor(const std::string& root, const std::string& what, const std::string& who,
                       const std::string& why, const std::string& mode, InhibitResult& result,
                       std::string& detail);

} // namespace platform
