#pragma once

#include "platform/Service.h"

#include <memory>
#include <string>

namespace platform {

// Services of the simulated machine in `root`/services.json: {"Name": "running" | "stopped" |
// "disabled"}; a name that is absent is not installed, and so is every name when the file is
// missing. A malformed file cannot be used: connect reports 13 (ERROR_INVALID_DATA).
std::unique_ptr<ServiceManager> connectSimulatedServiceManager(const std::string& root,
                                                               uint32_t& error);

} // namespace platform
