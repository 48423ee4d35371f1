#include "platform/NativeBackend.h"

#include "platform/linux/LinuxDeviceTree.h"
#include "platform/linux/PowerLinux.h"
#include "platform/linux/ServiceSystemd.h"

namespace platform {

bool simulatedMachineHoldsRegistryAndServices() {
    return true;
}

// The registry store of Linux is a file; there is no registry of the system.
bool systemRegistryIsTheStore() {
    return false;
}

uint32_t systemRegistryCreateKey(const std::string&) {
    return RegistryError::kBadArgument;
}

uint32_t systemRegistrySetValue(const std::string&, const std::string&, const RegistryStoreValue&) {
    return RegistryError::kBadArgument;
}

uint32_t systemRegistryDeleteValue(const std::string&, const std::string&) {
    return RegistryError::kBadArgument;
}

uint32_t systemRegistryQueryValue(const std::string&, const std::string&, RegistryStoreValue&) {
    return RegistryError::kBadArgument;
}

uint32_t systemRegistryValueNames(const std::string&, std::vector<std::string>&) {
    return RegistryError::kBadArgument;
}

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
