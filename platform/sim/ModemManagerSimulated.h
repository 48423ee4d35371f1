#pragma once

#include "platform/ModemManager.h"

#include <memory>
#include <string>

namespace platform {

// ModemManager of the simulated machine in `root`/modemmanager.json:
//   {"modems": [{"device": "UID", "physdev": "/sys/devices/.../0001", "inhibited": false}]}
// A missing file is a machine without ModemManager. Inhibiting a modem sets its "inhibited" (an
// inhibited one answers InProgress, an unknown uid NotFound); the release clears it.
std::unique_ptr<ModemManagerConnection>
openSimulatedModemManager(const std::string& root, ModemManagerResult& result, std::string& detail);

} // namespace platform
