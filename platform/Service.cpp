#include "platform/Service.h"

#include "platform/NativeBackend.h"
#include "platform/SystemPaths.h"
#include "platform/sim/ServiceSimulated.h"

namespace platform {

std::unique_ptr<ServiceManager> ServiceManager::connect(uint32_t& error) {
    if (const auto root = simulatedMachineRoot();
        root && simulatedMachineHoldsRegistryAndServices())
        return connectSimulatedServiceManager(*root, error);
    return connectSystemServiceManager(error);
}

namespace {

template <class Operation> uint32_t withService(const std::string& name, Operation operation) {
    uint32_t error = ServiceError::kOk;
    const auto manager = ServiceManager::connect(error);
    if (!manager)
        return error;
    error = manager->openService(name);
    if (error != ServiceError::kOk)
        return error;
    return operation(*manager);
}

} // namespace

uint32_t startService(const std::string& name) {
    return withService(name, [&](ServiceManager& manager) { return manager.startService(name); });
}

uint32_t stopService(const std::string& name) {
    return withService(name, [&](ServiceManager& manager) { return manager.stopService(name); });
}

} // namespace platform
