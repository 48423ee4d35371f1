#include "platform/NativeBackend.h"

#include "platform/windows/PowerWindows.h"
#include "platform/windows/ServiceControlManager.h"
#include "platform/windows/SetupApiDeviceTree.h"

namespace platform {

// The registry and the service control manager are the system's own even on a simulated
// machine: wine has both, and only the card's hardware needs simulating.
bool simulatedMachineHoldsRegistryAndServices() {
    return false;
}

std::shared_ptr<DeviceTree> makeSystemDeviceTree() {
    return std::make_shared<SetupApiDeviceTree>();
}

std::unique_ptr<ServiceManager> connectSystemServiceManager(uint32_t& error) {
    return connectServiceControlManager(error);
}

PowerStatus readSystemPowerStatus() {
    return readWindowsPowerStatus();
}

std::unique_ptr<PowerSource> startSystemPowerSource() {
    return startWindowsPowerSource();
}

} // namespace platform
