#pragma once

#include "platform/Service.h"

#include <memory>

namespace platform {

// systemd units over the system bus; the service "Name" is the unit "Name.service". A system
// bus that cannot be reached gives 1060: there is no service to stop or start.
std::unique_ptr<ServiceManager> connectSystemdServiceManager(uint32_t& error);

// The Win32 result of a failed bus call: `errorName` is the D-Bus error's name (null when the
// call failed locally), `result` the negative errno that sd-bus returned. A manager that cannot
// be reached gives 1060, as a missing unit does.
uint32_t systemdServiceError(const char* errorName, int result);

} // namespace platform
