#pragma once

#include "platform/Service.h"

#include <memory>

namespace platform {

// The Win32 service control manager of the local machine; its errors are the system's own.
std::unique_ptr<ServiceManager> connectServiceControlManager(uint32_t& error);

} // namespace platform
