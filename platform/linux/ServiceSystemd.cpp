#include "platform/linux/ServiceSystemd.h"

#include <systemd/sd-bus.h>

#include <cerrno>
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
    explicit SystemdServiceManager(sd_bus* bus) : bus(bus) {}
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
        if (state == "inactive" || state == "failed" || state == "deactivating")
            return ServiceError::kNotActive;
        return job("StopUnit", name);
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

    // Queues the start or stop job; like the service control manager, it does not wait for it.
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
    // A unit that does not exist, and equally no systemd behind the bus or a bus or manager
    // that stopped answering: there is no service to stop or start.
    for (const char* unreachable :
         {"org.freedesktop.systemd1.NoSuchUnit", "org.freedesktop.DBus.Error.ServiceUnknown",
          "org.freedesktop.DBus.Error.NameHasNoOwner", "org.freedesktop.DBus.Error.NoReply",
          "org.freedesktop.DBus.Error.Timeout", "org.freedesktop.DBus.Error.TimedOut",
          "org.freedesktop.DBus.Error.Disconnected", "org.freedesktop.DBus.Error.NoServer"})
        if (name == unreachable)
            return ServiceError::kDoesNotExist;
    if (name == "org.freedesktop.systemd1.UnitMasked")
        return ServiceError::kDisabled;
    if (name == "org.freedesktop.DBus.Error.AccessDenied" ||
        name == "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired")
        return ServiceError::kAccessDenied;
    if (result == -EACCES || result == -EPERM)
        return ServiceError::kAccessDenied;
    if (result == -ENOTCONN || result == -ECONNRESET || result == -ECONNREFUSED ||
        result == -ETIMEDOUT || result == -EPIPE)
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
