#include "platform/linux/ModemManagerDbus.h"
#include "platform/NativeBackend.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace platform {
namespace {

constexpr const char* kService = "org.freedesktop.ModemManager1";
constexpr const char* kManagerPath = "/org/freedesktop/ModemManager1";
constexpr const char* kManagerInterface = "org.freedesktop.ModemManager1";
constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kModemInterface = "org.freedesktop.ModemManager1.Modem";
// ModemManager disables the modem before it answers InhibitDevice.
constexpr uint64_t kCallTimeoutUs = 30ull * 1000 * 1000;

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
};

struct Message {
    sd_bus_message* message = nullptr;
    ~Message() { sd_bus_message_unref(message); }
};

std::string describe(const sd_bus_error& error, int result) {
    if (sd_bus_error_is_set(&error))
        return std::string(error.name) + ": " + (error.message ? error.message : "");
    return std::strerror(-result);
}

bool lastPathPartIs(const std::string& path, const std::string& name) {
    const size_t slash = path.rfind('/');
    return !name.empty() && path.substr(slash == std::string::npos ? 0 : slash + 1) == name;
}

class ModemManagerOnBus : public ModemManagerConnection {
public:
    explicit ModemManagerOnBus(sd_bus* bus) : bus_(bus) {}
    ~ModemManagerOnBus() override { sd_bus_flush_close_unref(bus_); }

    ModemManagerResult findModem(const std::string& kernelName, ModemEntry& modem,
                                 std::string& detail) override {
        Message reply;
        const ModemManagerResult called =
            call(kObjectManagerInterface, "GetManagedObjects", reply, detail, nullptr);
        if (called != ModemManagerResult::ok)
            return called;
        std::vector<ModemEntry> modems;
        if (!readModems(reply.message, modems)) {
            detail = "unreadable answer to GetManagedObjects";
            return ModemManagerResult::failed;
        }
        for (const ModemEntry& entry : modems) {
            if (lastPathPartIs(entry.physicalDevice, kernelName)) {
                modem = entry;
                return ModemManagerResult::ok;
            }
        }
        detail = "no modem on " + kernelName;
        return ModemManagerResult::notFound;
    }

    ModemManagerResult inhibit(const std::string& uid, bool inhibit, std::string& detail) override {
        Message reply;
        return call(kManagerInterface, "InhibitDevice", reply, detail, [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "sb", uid.c_str(), inhibit ? 1 : 0);
        });
    }

private:
    template <class Append>
    ModemManagerResult call(const char* interface, const char* method, Message& reply,
                            std::string& detail, Append append) {
        Message request;
        int result = sd_bus_message_new_method_call(bus_, &request.message, kService, kManagerPath,
                                                    interface, method);
        if (result >= 0)
            result = sd_bus_message_set_auto_start(request.message, 0);
        if (result >= 0)
            result = appendArguments(request.message, append);
        if (result < 0) {
            detail = std::strerror(-result);
            return ModemManagerResult::failed;
        }
        BusError error;
        result = sd_bus_call(bus_, request.message, kCallTimeoutUs, &error.error, &reply.message);
        if (result >= 0)
            return ModemManagerResult::ok;
        detail = describe(error.error, result);
        return modemManagerError(sd_bus_error_is_set(&error.error) ? error.error.name : nullptr);
    }

    static int appendArguments(sd_bus_message*, std::nullptr_t) { return 0; }
    template <class Append> static int appendArguments(sd_bus_message* m, Append append) {
        return append(m);
    }

    // a{oa{sa{sv}}}: every object with the Modem interface, its Device and Physdev.
    static bool readModems(sd_bus_message* m, std::vector<ModemEntry>& modems) {
        if (sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") < 0)
            return false;
        int entered;
        while ((entered = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
            const char* path = nullptr;
            if (sd_bus_message_read(m, "o", &path) < 0 ||
                sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0)
                return false;
            while ((entered = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
                const char* interface = nullptr;
                if (sd_bus_message_read(m, "s", &interface) < 0)
                    return false;
                if (std::strcmp(interface, kModemInterface) == 0) {
                    ModemEntry modem;
                    if (!readModemProperties(m, modem))
                        return false;
                    modems.push_back(modem);
                } else if (sd_bus_message_skip(m, "a{sv}") < 0) {
                    return false;
                }
                if (sd_bus_message_exit_container(m) < 0)
                    return false;
            }
            if (entered < 0 || sd_bus_message_exit_container(m) < 0 ||
                sd_bus_message_exit_container(m) < 0)
                return false;
        }
        return entered >= 0 && sd_bus_message_exit_container(m) >= 0;
    }

    static bool readModemProperties(sd_bus_message* m, ModemEntry& modem) {
        if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
            return false;
        int entered;
        while ((entered = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
            const char* name = nullptr;
            if (sd_bus_message_read(m, "s", &name) < 0)
                return false;
            std::string* target = std::strcmp(name, "Device") == 0    ? &modem.uid
                                  : std::strcmp(name, "Physdev") == 0 ? &modem.physicalDevice
                                                                      : nullptr;
            const char* value = nullptr;
            if (target != nullptr && sd_bus_message_read(m, "v", "s", &value) >= 0)
                *target = value != nullptr ? value : "";
            else if (target != nullptr || sd_bus_message_skip(m, "v") < 0)
                return false;
            if (sd_bus_message_exit_container(m) < 0)
                return false;
        }
        return entered >= 0 && sd_bus_message_exit_container(m) >= 0;
    }

    sd_bus* bus_;
};

} // namespace

ModemManagerResult modemManagerError(const char* errorName) {
    const std::string name = errorName != nullptr ? errorName : "";
    if (name == "org.freedesktop.ModemManager1.Error.Core.NotFound")
        return ModemManagerResult::notFound;
    if (name == "org.freedesktop.ModemManager1.Error.Core.InProgress")
        return ModemManagerResult::inProgress;
    for (const char* absent :
         {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
          "org.freedesktop.DBus.Error.Disconnected", "org.freedesktop.DBus.Error.NoServer"})
        if (name == absent)
            return ModemManagerResult::absent;
    return ModemManagerResult::failed;
}

std::unique_ptr<ModemManagerConnection> openModemManagerOnSystemBus(ModemManagerResult& result,
                                                                    std::string& detail) {
    sd_bus* bus = nullptr;
    int opened = sd_bus_open_system(&bus);
    // Opening is lazy; the bus's answer with our name shows whether there is a bus at all.
    const char* unique = nullptr;
    if (opened >= 0)
        opened = sd_bus_get_unique_name(bus, &unique);
    if (opened < 0) {
        sd_bus_flush_close_unref(bus);
        detail = std::string("no system bus: ") + std::strerror(-opened);
        result = ModemManagerResult::absent;
        return nullptr;
    }
    result = ModemManagerResult::ok;
    return std::make_unique<ModemManagerOnBus>(bus);
}

} // namespace platform
