#pragma once

#include "platform/Power.h"
#include "platform/PowerWatcher.h"

#include <memory>

// Power on Windows: GetSystemPowerStatus gives the status, WM_POWERBROADCAST on a hidden window
// gives standby, resume and status changes.
namespace platform {

PowerStatus readWindowsPowerStatus();

// Null when the window cannot be made.
std::unique_ptr<PowerSource> startWindowsPowerSource();

} // namespace platform
