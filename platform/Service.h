#pragma once

#include "platform/Win32Error.h"

#include <cstdint>
#include <memory>
#include <string>

// Stopping and starting system services by name, with the results of the Win32 service control
// manager. On a simulated machine the services are DIR/services.json; on Linux they are systemd
// units reached over the system bus, the service "Name" being the unit "Name.service". A stop
// on systemd waits (bounded) until the unit is inactive: the ports it holds are free only then.
namespace platform {

struct ServiceError {
    static constexpr uint32_t kOk = 0;
    static constexpr uint32_t kAccessDenied = kErrorAccessDenied;
    static constexpr uint32_t kAlreadyRunning = 1056;      // ERROR_SERVICE_ALREADY_RUNNING
    static constexpr uint32_t kCannotAcceptControl = 1061; // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
    static constexpr uint32_t kDisabled = 1058;            // ERROR_SERVICE_DISABLED
    static constexpr uint32_t kDoesNotExist = 1060;        // ERROR_SERVICE_DOES_NOT_EXIST
    static constexpr uint32_t kNotActive = 1062;           // ERROR_SERVICE_NOT_ACTIVE
    static constexpr uint32_t kRequestTimeout = 1053;      // ERROR_SERVICE_REQUEST_TIMEOUT
};

// The service control manager of the local machine. A manager that cannot be reached is reported
// by connect as 1060: for its callers every service is then not installed.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;

    // As OpenSCManager: the manager, or null with the error in `error`.
    static std::unique_ptr<ServiceManager> connect(uint32_t& error);

    // As OpenService: 0 when the service exists, 1060 when it does not, 5 when it may not be
    // controlled.
    virtual uint32_t openService(const std::string& name) = 0;
    // As StartService: 0, 1056 when it runs already, 1058 when it is disabled, 1060, 5.
    virtual uint32_t startService(const std::string& name) = 0;
    // As ControlService with the stop control: 0, 1062 when it does not run, 1060, 5, 1053 when
    // the manager does not answer or the service has not stopped in time.
    virtual uint32_t stopService(const std::string& name) = 0;
};

// Connect, open and start or stop in one call; the first failing step's error.
uint32_t startService(const std::string& name);
uint32_t stopService(const std::string& name);

} // namespace platform
