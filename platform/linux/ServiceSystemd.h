#pragma once

#include "platform/Service.h"

#include <memory>

namespace platform {

// systemd units over the system bus; the service "Name" is the unit "Name.service". A system
// bus that cannot be reached gives 1060: there is no service to stop or start.
std::unique_ptr<ServiceManager> connectSystemdServiceManager(uint32_t& error);

} // namespace platform
