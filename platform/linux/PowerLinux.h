#pragma once

#include "platform/Power.h"
#include "platform/PowerWatcher.h"

#include <memory>
#include <string>

// Power on a Linux machine: the supplies under /sys/class/power_supply give the status (their
// changes arrive through udev), logind's PrepareForSleep signal on the system bus gives standby
// (true) and resume (false).
namespace platform {

constexpr const char* kPowerSupplyFolder = "/sys/class/power_supply";

// The status from a power_supply folder: on mains when a mains-type supply is online, or when
// there is none and no battery discharges; the battery life is the mean capacity of the
// batteries present (unknown without one).
PowerStatus readPowerSupplyFolder(const std::string& folder);

// Watches udev and, when it can be reached, the system bus; nothing when neither is there.
std::unique_ptr<PowerSource> startLinuxPowerSource();

} // namespace platform
