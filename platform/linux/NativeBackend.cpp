#include "platform/NativeBackend.h"

#include "platform/linux/LinuxDeviceTree.h"
#include "platform/linux/PowerLinux.h"
#include "platform/linux/ServiceSystemd.h"

namespace platform {

std::shared_ptr<DeviceTree> makeSystemDeviceTree() {
    return std::make_shared<LinuxDeviceTree>();
}

std::unique_ptr<ServiceManager> connectSystemServiceManager(uint32_t& error) {
    return connectSystemdServiceManager(error);
}

PowerStatus readSystemPowerStatus() {
    return readPowerSupplyFolder(kPowerSupplyFolder);
}

std::unique_ptr<PowerSource> startSystemPowerSource() {
    return startLinuxPowerSource();
}

} // namespace platform
