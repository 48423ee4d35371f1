#pragma once

#include "platform/Power.h"
#include "platform/PowerWatcher.h"

#include <memory>
#include <string>

// The simulated machine's power: DIR/power.json holds the status, {"acOnline": true,
// "batteryPercent": 100}; a file dropped into DIR/events/ named "standby" or "resume" (or
// "standby-..."/"resume-..." without a dot) is a standby or resume of the machine. Event files are
// left in place, so that every process of the machine sees them; each write or rename into place is
// one event.
namespace platform {

PowerStatus readSimulatedPowerStatus(const std::string& root, std::string* problem);

// Watches DIR with inotify on its own thread; nothing when the watch cannot be set up
// (`problem` says why).
std::unique_ptr<PowerSource> startSimulatedPowerSource(const std::string& root,
                                                       std::string* problem = nullptr);

} // namespace platform
