#include "platform/linux/ModemManagerDbus.h"
#include "platform/NativeBackend.h"

#include "platform/Clock.h"

#include <libudev.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
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
constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kOwnerChangeRule =
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg0='org.freedesktop.ModemManager1'";
constexpr const char* kUsbSubsystem = "usb";
constexpr const char* kUsbDeviceType = "usb_device";
constexpr const char* kTtySubsystem = "tty";
// The uid ModemManager gives the ports of one physical device when the rules set it.
constexpr const char* kPhysdevUidProperty = "ID_MM_PHYSDEV_UID";
// ModemManager disables the modem before it answers InhibitDevice.
constexpr uint64_t kCallTimeoutMs = 30000;

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

// What the card's modem can be recognised by, read from udev: the USB device's sysfs path, the
// ID_MM_PHYSDEV_UID the rules may give it, and its ttys.
struct CardIdentity {
    std::string kernelName;
    std::string sysfsPath;
    std::string physdevUid;
    std::vector<std::string> ttys;

    // The uid ModemManager gives the card's modem: ID_MM_PHYSDEV_UID, else the sysfs path.
    std::string expectedUid() const { return physdevUid.empty() ? sysfsPath : physdevUid; }

    // ModemManager 1.22 names the modem's USB device (Physdev); 1.20 only its uid (Device) and
    // its ports.
    bool owns(const ModemEntry& modem) const {
        if (!modem.physicalDevice.empty())
            return lastPathPartIs(modem.physicalDevice, kernelName);
        if (!modem.uid.empty() &&
            (modem.uid == expectedUid() || modem.uid == sysfsPath ||
             (modem.uid.front() == '/' && lastPathPartIs(modem.uid, kernelName))))
            return true;
        return std::any_of(modem.ports.begin(), modem.ports.end(), [&](const std::string& port) {
            return std::find(ttys.begin(), ttys.end(), port) != ttys.end();
        });
    }
};

std::string text(const char* value) {
    return value != nullptr ? value : "";
}

CardIdentity readCardIdentity(const std::string& kernelName) {
    CardIdentity card;
    card.kernelName = kernelName;
    udev* context = udev_new();
    if (context == nullptr)
        return card;
    udev_enumerate* devices = udev_enumerate_new(context);
    udev_device* device = nullptr;
    if (devices != nullptr) {
        udev_enumerate_add_match_subsystem(devices, kUsbSubsystem);
        udev_enumerate_add_match_sysname(devices, kernelName.c_str());
        udev_enumerate_scan_devices(devices);
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(devices)) {
            udev_device* found =
                udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (found != nullptr && text(udev_device_get_devtype(found)) == kUsbDeviceType) {
                device = found;
                break;
            }
            udev_device_unref(found);
        }
        udev_enumerate_unref(devices);
    }
    if (device != nullptr) {
        card.sysfsPath = text(udev_device_get_syspath(device));
        card.physdevUid = text(udev_device_get_property_value(device, kPhysdevUidProperty));
        udev_enumerate* ttys = udev_enumerate_new(context);
        if (ttys != nullptr) {
            udev_enumerate_add_match_subsystem(ttys, kTtySubsystem);
            udev_enumerate_add_match_parent(ttys, device);
            udev_enumerate_scan_devices(ttys);
            udev_list_entry* entry = nullptr;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(ttys)) {
                const std::string path = text(udev_list_entry_get_name(entry));
                card.ttys.push_back(path.substr(path.rfind('/') + 1));
            }
            udev_enumerate_unref(ttys);
        }
        udev_device_unref(device);
    }
    udev_unref(context);
    return card;
}

class ModemManagerOnBus : public ModemManagerConnection {
public:
    explicit ModemManagerOnBus(sd_bus* bus) : bus_(bus) {}
    ~ModemManagerOnBus() override {
        sd_bus_slot_unref(ownerWatch_);
        sd_bus_flush_close_unref(bus_);
    }

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
        const CardIdentity card = readCardIdentity(kernelName);
        for (const ModemEntry& entry : modems) {
            if (card.owns(entry)) {
                modem = entry;
                // Before 1.22 the modem does not name its USB device: udev does.
                if (modem.physicalDevice.empty())
                    modem.physicalDevice = card.sysfsPath;
                return ModemManagerResult::ok;
            }
        }
        modem = {card.expectedUid(), card.sysfsPath, card.ttys};
        detail = "no modem on " + kernelName;
        return ModemManagerResult::notFound;
    }

    std::string owner() override {
        BusError error;
        Message reply;
        const char* name = nullptr;
        if (sd_bus_call_method(bus_, kBusService, kBusPath, kBusService, "GetNameOwner",
                               &error.error, &reply.message, "s", kService) < 0 ||
            sd_bus_message_read(reply.message, "s", &name) < 0)
            return {};
        return text(name);
    }

    bool watchOwner() override {
        return ownerWatch_ != nullptr ||
               sd_bus_add_match(bus_, &ownerWatch_, kOwnerChangeRule, ownerChanged, this) >= 0;
    }

    bool waitForOwnerChange(uint64_t ms) override {
        if (!watchOwner()) {
            sleepMs(ms);
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + realDuration(ms);
        ownerChanged_ = false;
        for (;;) {
            const int processed = sd_bus_process(bus_, nullptr);
            if (ownerChanged_)
                return true;
            if (processed > 0)
                continue;
            const auto now = std::chrono::steady_clock::now();
            if (processed < 0 || now >= deadline)
                return false;
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
            if (sd_bus_wait(bus_, static_cast<uint64_t>(left)) < 0)
                return false;
        }
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
        const auto timeout =
            std::chrono::duration_cast<std::chrono::microseconds>(realDuration(kCallTimeoutMs));
        result = sd_bus_call(bus_, request.message, static_cast<uint64_t>(timeout.count()),
                             &error.error, &reply.message);
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
            if (std::strcmp(name, "Ports") == 0) {
                if (!readPorts(m, modem.ports))
                    return false;
            } else if (target != nullptr && sd_bus_message_read(m, "v", "s", &value) >= 0) {
                *target = value != nullptr ? value : "";
            } else if (target != nullptr || sd_bus_message_skip(m, "v") < 0) {
                return false;
            }
            if (sd_bus_message_exit_container(m) < 0)
                return false;
        }
        return entered >= 0 && sd_bus_message_exit_container(m) >= 0;
    }

    // v of a(su): each port's name and type.
    static bool readPorts(sd_bus_message* m, std::vector<std::string>& ports) {
        if (sd_bus_message_enter_container(m, 'v', "a(su)") < 0 ||
            sd_bus_message_enter_container(m, 'a', "(su)") < 0)
            return false;
        const char* port = nullptr;
        uint32_t type = 0;
        int read;
        while ((read = sd_bus_message_read(m, "(su)", &port, &type)) > 0)
            ports.push_back(text(port));
        return read >= 0 && sd_bus_message_exit_container(m) >= 0 &&
               sd_bus_message_exit_container(m) >= 0;
    }

    static int ownerChanged(sd_bus_message*, void* self, sd_bus_error*) {
        static_cast<ModemManagerOnBus*>(self)->ownerChanged_ = true;
        return 0;
    }

    sd_bus* bus_;
    sd_bus_slot* ownerWatch_ = nullptr;
    bool ownerChanged_ = false;
};

} // namespace

ModemManagerResult modemManagerError(const char* errorName) {
    const std::string name = errorName != nullptr ? errorName : "";
    if (name == "org.freedesktop.ModemManager1.Error.Core.NotFound")
        return ModemManagerResult::notFound;
    if (name == "org.freedesktop.ModemManager1.Error.Core.InProgress")
        return ModemManagerResult::inProgress;
    if (name == "org.freedesktop.ModemManager1.Error.Core.WrongState")
        return ModemManagerResult::probing;
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
