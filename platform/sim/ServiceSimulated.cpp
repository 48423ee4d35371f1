#include "platform/sim/ServiceSimulated.h"

#include "platform/RegistryStore.h"

#include <nlohmann/json.hpp>

namespace platform {
namespace {

constexpr uint32_t kInvalidData = 13; // ERROR_INVALID_DATA
constexpr const char* kRunning = "running";
constexpr const char* kStopped = "stopped";
constexpr const char* kDisabled = "disabled";

bool knownState(const nlohmann::json& value) {
    return value.is_string() && (value == kRunning || value == kStopped || value == kDisabled);
}

// Reads the services file; false when it is malformed. A missing file is an empty machine.
bool readServices(const std::string& file, nlohmann::json& services) {
    std::string text;
    const uint32_t error = readWholeFile(file, text);
    if (error == RegistryError::kNotFound) {
        services = nlohmann::json::object();
        return true;
    }
    if (error != RegistryError::kOk)
        return false;
    services = nlohmann::json::parse(text, nullptr, false);
    if (!services.is_object())
        return false;
    for (const auto& entry : services.items())
        if (!knownState(entry.value()))
            return false;
    return true;
}

class SimulatedServiceManager : public ServiceManager {
public:
    explicit SimulatedServiceManager(std::string file) : file(std::move(file)) {}

    uint32_t openService(const std::string& name) override {
        nlohmann::json services;
        if (!readServices(file, services))
            return kInvalidData;
        return services.contains(name) ? ServiceError::kOk : ServiceError::kDoesNotExist;
    }

    uint32_t startService(const std::string& name) override {
        return change(name, [](const std::string& state, std::string& next) {
            if (state == kRunning)
                return ServiceError::kAlreadyRunning;
            if (state == kDisabled)
                return ServiceError::kDisabled;
            next = kRunning;
            return ServiceError::kOk;
        });
    }

    uint32_t stopService(const std::string& name) override {
        return change(name, [](const std::string& state, std::string& next) {
            if (state != kRunning)
                return ServiceError::kNotActive;
            next = kStopped;
            return ServiceError::kOk;
        });
    }

private:
    // Reads, decides and writes back under the file's lock, so that a test or another process
    // changing the file at the same time loses nothing.
    template <class Decide> uint32_t change(const std::string& name, Decide decide) {
        FileLock lock(file);
        if (lock.error() != 0)
            return lock.error();
        nlohmann::json services;
        if (!readServices(file, services))
            return kInvalidData;
        if (!services.contains(name))
            return ServiceError::kDoesNotExist;
        std::string next;
        const uint32_t error = decide(services[name].get<std::string>(), next);
        if (error != ServiceError::kOk)
            return error;
        services[name] = next;
        return replaceFileAtomically(file, services.dump(2) + "\n");
    }

    std::string file;
};

} // namespace

std::unique_ptr<ServiceManager> connectSimulatedServiceManager(const std::string& root,
                                                               uint32_t& error) {
    const std::string file = root + "/services.json";
    nlohmann::json services;
    if (!readServices(file, services)) {
        error = kInvalidData;
        return nullptr;
    }
    error = ServiceError::kOk;
    return std::make_unique<SimulatedServiceManager>(file);
}

} // namespace platform
