#include "platform/NativeBackend.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace platform {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManagerInterface = "org.freedesktop.login1.Manager";
// logind answers at once; one that does not must not hold up the update.
constexpr uint64_t kCallTimeoutUs = 5ull * 1000 * 1000;

// logind keeps the inhibitor while this descriptor is open.
class LogindInhibitor : public InhibitorLock {
public:
    explicit LogindInhibitor(int fd) : fd_(fd) {}
    ~LogindInhibitor() override { close(fd_); }

private:
    int fd_;
};

struct BusCall {
    sd_bus* bus = nullptr;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusCall() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        sd_bus_flush_close_unref(bus);
    }
};

bool isAbsence(const sd_bus_error& error) {
    if (!sd_bus_error_is_set(&error))
        return false;
    for (const char* absent :
         {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
          "org.freedesktop.DBus.Error.Disconnected", "org.freedesktop.DBus.Error.NoServer"})
        if (std::strcmp(error.name, absent) == 0)
            return true;
    return false;
}

} // namespace

std::unique_ptr<InhibitorLock> takeSystemInhibitor(const std::string& what, const std::string& who,
                                                   const std::string& why, const std::string& mode,
                                                   InhibitResult& result, std::string& detail) {
    BusCall call;
    int status = sd_bus_open_system(&call.bus);
    const char* unique = nullptr;
    if (status >= 0)
        status = sd_bus_get_unique_name(call.bus, &unique);
    if (status < 0) {
        result = InhibitResult::absent;
        detail = std::string("no system bus: ") + std::strerror(-status);
        return nullptr;
    }
    status = sd_bus_message_new_method_call(call.bus, &call.call, kService, kManagerPath,
                                            kManagerInterface, "Inhibit");
    if (status >= 0)
        status = sd_bus_message_append(call.call, "ssss", what.c_str(), who.c_str(), why.c_str(),
                                       mode.c_str());
    if (status >= 0)
        status = sd_bus_call(call.bus, call.call, kCallTimeoutUs, &call.error, &call.reply);
    if (status < 0) {
        result = isAbsence(call.error) ? InhibitResult::absent : InhibitResult::failed;
        detail = sd_bus_error_is_set(&call.error)
                     ? std::string(call.error.name) + ": " +
                           (call.error.message != nullptr ? call.error.message : "")
                     : std::strerror(-status);
        return nullptr;
    }
    int fd = -1;
    status = sd_bus_message_read(call.reply, "h", &fd);
    // The reply owns its descriptor; the inhibitor keeps a copy of its own.
    const int kept = status >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (kept < 0) {
        result = InhibitResult::failed;
        detail = "unreadable answer to Inhibit";
        return nullptr;
    }
    result = InhibitResult::taken;
    return std::make_unique<LogindInhibitor>(kept);
}

} // namespace platform
