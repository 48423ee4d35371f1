#include "platform/NativeBackend.h"

namespace platform {

// Windows has no ModemManager: its connection manager is the "CmxService" service, which the
// device trait stops and starts. There is nothing to inhibit.
std::unique_ptr<ModemManagerConnection> openModemManagerOnSystemBus(ModemManagerResult& result,
                                                                    std::string& detail) {
    result = ModemManagerResult::absent;
    detail = "no ModemManager on Windows";
    return nullptr;
}

} // namespace platform
