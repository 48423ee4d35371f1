#pragma once

#include "platform/ModemManager.h"

#include <memory>
#include <string>

namespace platform {

// ModemManager on the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) is this system's
// openModemManagerOnSystemBus. It is never started for Kestrel: a ModemManager that is not
// running is absent.

// The result of a failed call by the D-Bus error's name (null when it failed locally).
ModemManagerResult modemManagerError(const char* errorName);

} // namespace platform
