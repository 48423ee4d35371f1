#include "platform/windows/ServiceControlManager.h"

#include "platform/WideText.h"

#include <windows.h>

#include <map>

namespace platform {
namespace {

constexpr DWORD kServiceRights = SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;

class ServiceControlManager : public ServiceManager {
public:
    explicit ServiceControlManager(SC_HANDLE manager) : manager_(manager) {}
    ~ServiceControlManager() override {
        for (const auto& [name, service] : services_)
            CloseServiceHandle(service);
        CloseServiceHandle(manager_);
    }
    ServiceControlManager(const ServiceControlManager&) = delete;
    ServiceControlManager& operator=(const ServiceControlManager&) = delete;

    uint32_t openService(const std::string& name) override {
        SC_HANDLE service = nullptr;
        return open(name, service);
    }

    uint32_t startService(const std::string& name) override {
        SC_HANDLE service = nullptr;
        if (const uint32_t error = open(name, service); error != ServiceError::kOk)
            return error;
        return StartServiceW(service, 0, nullptr) ? ServiceError::kOk : GetLastError();
    }

    uint32_t stopService(const std::string& name) override {
        SC_HANDLE service = nullptr;
        if (const uint32_t error = open(name, service); error != ServiceError::kOk)
            return error;
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED)
            return ServiceError::kNotActive;
        return ControlService(service, SERVICE_CONTROL_STOP, &status) ? ServiceError::kOk
                                                                      : GetLastError();
    }

private:
    uint32_t open(const std::string& name, SC_HANDLE& service) {
        if (const auto found = services_.find(name); found != services_.end()) {
            service = found->second;
            return ServiceError::kOk;
        }
        service = OpenServiceW(manager_, wideFromUtf8(name).c_str(), kServiceRights);
        if (service == nullptr)
            return GetLastError();
        services_[name] = service;
        return ServiceError::kOk;
    }

    SC_HANDLE manager_;
    std::map<std::string, SC_HANDLE> services_;
};

} // namespace

std::unique_ptr<ServiceManager> connectServiceControlManager(uint32_t& error) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        const DWORD failure = GetLastError();
        // Unreachable is "not installed" for the callers; a refusal stays a refusal.
        error = failure == ERROR_ACCESS_DENIED ? ServiceError::kAccessDenied
                                               : ServiceError::kDoesNotExist;
        return nullptr;
    }
    error = ServiceError::kOk;
    return std::make_unique<ServiceControlManager>(manager);
}

} // namespace platform
