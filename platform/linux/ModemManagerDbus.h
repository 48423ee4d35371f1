#pragma once

#include "platform/ModemManager.h"

#include <memory>
#include <string>

namespace platform {

// ModemManager on the system bus (DBUS_SYSTEM_BUS_ADDRESS when set). It is never started for
// Kestrel: a ModemManager that is not running is absent.
std::unique_ptr<ModemManagerConnection> openModemManagerOnSystemBus(ModemManagerResult& result,
                                                                    std::string& detail);

// The result of a failed call by the D-Bus error's name (null when it failed locally).
ModemManagerResult modemManagerError(const char* errorName);

} // namespace platform
