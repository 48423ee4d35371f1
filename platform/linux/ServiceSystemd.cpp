#include "platform/linux/ServiceSystemd.h"

#include "platform/Clock.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace platform {
namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
// How long a call may go unanswered (sd-bus's own default), and how long a stopped unit may take
// to become inactive before the stop counts as failed.
constexpr uint64_t kCallTimeoutMs = 25000;
constexpr uint64_t kStopWaitMs = 20000;
constexpr uint64_t kStatePollMs = 100;

bool hasStopped(const std::string& state) {
    return state == "inactive" || state == "failed";
}

uint32_t win32Error(const sd_bus_error& error, int result) {
    return systemdServiceError(sd_bus_error_is_set(&error) ? error.name : nullptr, result);
}

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
};

struct Reply {
    sd_bus_message* message = nullptr;
    ~Reply() { sd_bus_message_unref(message); }
};

class SystemdServiceManager : public ServiceManager {
public:
    explicit SystemdServiceManager(sd_bus* bus) : bus(bus) {
        const auto timeout =
            std::chrono::duration_cast<std::chrono::microseconds>(realDuration(kCallTimeoutMs));
        sd_bus_set_method_call_timeout(bus, static_cast<uint64_t>(timeout.count()));
    }
    ~SystemdServiceManager() override { sd_bus_flush_close_unref(bus); }

    uint32_t openService(const std::string& name) override {
        std::string path;
        return loadUnit(name, path);
    }

    uint32_t startService(const std::string& name) override {
        std::string path;
        uint32_t error = loadUnit(name, path);
        if (error != ServiceError::kOk)
            return error;
        std::string state;
        error = property(path, "LoadState", state);
        if (error != ServiceError::kOk)
            return error;
        if (state == "masked")
            return ServiceError::kDisabled;
        error = property(path, "ActiveState", state);
        if (error != ServiceError::kOk)
            return error;
        if (state == "active" || state == "activating" || state == "reloading")
            return ServiceError::kAlreadyRunning;
        return job("StartUnit", name);
    }

    uint32_t stopService(const std::string& name) override {
        std::string path;
        uint32_t error = loadUnit(name, path);
        if (error != ServiceError::kOk)
            return error;
        std::string state;
        error = property(path, "ActiveState", state);
        if (error != ServiceError::kOk)
            return error;
        if (hasStopped(state))
            return ServiceError::kNotActive;
        // A unit already on its way down is waited for like one this stop sends down.
        if (state != "deactivating") {
            error = job("StopUnit", name);
            if (error != ServiceError::kOk)
                return error;
        }
        return waitUntilStopped(path);
    }

private:
    static std::string unitName(const std::string& name) { return name + ".service"; }

    // The unit's object path; 1060 when systemd knows no unit file of that name.
    uint32_t loadUnit(const std::string& name, std::string& path) {
        BusError error;
        Reply reply;
        int result =
            sd_bus_call_method(bus, kDestination, kManagerPath, kManagerInterface, "LoadUnit",
                               &error.error, &reply.message, "s", unitName(name).c_str());
        if (result < 0)
            return win32Error(error.error, result);
        const char* object = nullptr;
        result = sd_bus_message_read(reply.message, "o", &object);
        if (result < 0 || object == nullptr)
            return ServiceError::kCannotAcceptControl;
        path = object;
        std::string loadState;
        const uint32_t status = property(path, "LoadState", loadState);
        if (status != ServiceError::kOk)
            return status;
        return loadState == "not-found" ? ServiceError::kDoesNotExist : ServiceError::kOk;
    }

    uint32_t property(const std::string& path, const char* name, std::string& value) {
        BusError error;
        char* text = nullptr;
        const int result = sd_bus_get_property_string(bus, kDestination, path.c_str(),
                                                      kUnitInterface, name, &error.error, &text);
        if (result < 0)
            return win32Error(error.error, result);
        value = text != nullptr ? text : "";
        std::free(text);
        return ServiceError::kOk;
    }

    // StopUnit only queues the job: the unit still holds its ports until it is inactive.
    uint32_t waitUntilStopped(const std::string& path) {
        const uint64_t deadline = tickMs() + kStopWaitMs;
        for (;;) {
            std::string state;
            const uint32_t error = property(path, "ActiveState", state);
            if (error != ServiceError::kOk)
                return error;
            if (hasStopped(state))
                return ServiceError::kOk;
            if (tickMs() >= deadline)
                return ServiceError::kRequestTimeout;
            sleepMs(kStatePollMs);
        }
    }

    // Queues the start or stop job.
    uint32_t job(const char* method, const std::string& name) {
        BusError error;
        Reply reply;
        const int result = sd_bus_call_method(bus, kDestination, kManagerPath, kManagerInterface,
                                              method, &error.error, &reply.message, "ss",
                                              unitName(name).c_str(), "replace");
        return result < 0 ? win32Error(error.error, result) : ServiceError::kOk;
    }

    sd_bus* bus;
};

} // namespace

uint32_t systemdServiceError(const char* errorName, int result) {
    const std::string name = errorName != nullptr ? errorName : "";
    // A unit that does not exist, and equally no systemd behind the bus or no bus: there is no
    // service to stop or start.
    for (const char* unreachable :
         {"org.freedesktop.systemd1.NoSuchUnit", "org.freedesktop.DBus.Error.ServiceUnknown",
          "org.freedesktop.DBus.Error.NameHasNoOwner", "org.freedesktop.DBus.Error.Disconnected",
          "org.freedesktop.DBus.Error.NoServer"})
        if (name == unreachable)
            return ServiceError::kDoesNotExist;
    // A manager that does not answer is there, busy or hung: its service may still hold the
    // card's ports.
    for (const char* unanswered :
         {"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.Timeout",
          "org.freedesktop.DBus.Error.TimedOut"})
        if (name == unanswered)
            return ServiceError::kRequestTimeout;
    if (name == "org.freedesktop.systemd1.UnitMasked")
        return ServiceError::kDisabled;
    if (name == "org.freedesktop.DBus.Error.AccessDenied" ||
        name == "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired")
        return ServiceError::kAccessDenied;
    if (result == -EACCES || result == -EPERM)
        return ServiceError::kAccessDenied;
    if (result == -ETIMEDOUT)
        return ServiceError::kRequestTimeout;
    if (result == -ENOTCONN || result == -ECONNRESET || result == -ECONNREFUSED || result == -EPIPE)
        return ServiceError::kDoesNotExist;
    return ServiceError::kCannotAcceptControl;
}

std::unique_ptr<ServiceManager> connectSystemdServiceManager(uint32_t& error) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) {
        sd_bus_unref(bus);
        error = ServiceError::kDoesNotExist;
        return nullptr;
    }
    // Opening is lazy; ask the bus for its name so that an unreachable bus shows here.
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus, &unique) < 0) {
        sd_bus_flush_close_unref(bus);
        error = ServiceError::kDoesNotExist;
        return nullptr;
    }
    error = ServiceError::kOk;
    return std::make_unique<SystemdServiceManager>(bus);
}

} // namespace platform
