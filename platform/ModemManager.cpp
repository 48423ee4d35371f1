#include "platform/ModemManager.h"

#include "platform/NativeBackend.h"
#include "platform/SystemPaths.h"
#include "platform/sim/ModemManagerSimulated.h"

namespace platform {

std::unique_ptr<ModemManagerConnection> ModemManagerConnection::open(ModemManagerResult& result,
                                                                     std::string& detail) {
    if (const auto root = simulatedMachineRoot())
        return openSimulatedModemManager(*root, result, detail);
    return openModemManagerOnSystemBus(result, detail);
}

std::string usbKernelName(const std::string& instanceId) {
    const size_t separator = instanceId.rfind('\\');
    return separator == std::string::npos ? instanceId : instanceId.substr(separator + 1);
}

} // namespace platform
