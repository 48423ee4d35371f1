#include "platform/linux/PowerLinux.h"

#include "platform/MessageWindow.h"

#include <libudev.h>
#include <systemd/sd-bus.h>

#include <poll.h>
#include <time.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace platform {
namespace {

std::string readAttribute(const std::filesystem::path& folder, const char* name) {
    std::ifstream file(folder / name);
    std::string value;
    std::getline(file, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return value;
}

bool readNumber(const std::string& text, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end != text.c_str() && *end == '\0';
}

class LinuxPowerSource : public PowerSource {
public:
    LinuxPowerSource(udev* context, udev_monitor* monitor, sd_bus* bus, int stopFd)
        : udev_(context), monitor_(monitor), bus_(bus), stopFd_(stopFd) {
        last_ = readPowerSupplyFolder(kPowerSupplyFolder);
        if (bus_ != nullptr &&
            sd_bus_match_signal(bus_, &match_, "org.freedesktop.login1", "/org/freedesktop/login1",
                                "org.freedesktop.login1.Manager", "PrepareForSleep",
                                &LinuxPowerSource::onPrepareForSleep, this) < 0) {
            sd_bus_flush_close_unref(bus_);
            bus_ = nullptr;
        }
        thread_ = std::thread([this] { run(); });
    }

    ~LinuxPowerSource() override {
        const uint64_t one = 1;
        if (write(stopFd_, &one, sizeof one) < 0) {
            // The eventfd cannot be full.
        }
        thread_.join();
        if (match_ != nullptr)
            sd_bus_slot_unref(match_);
        if (bus_ != nullptr)
            sd_bus_flush_close_unref(bus_);
        if (monitor_ != nullptr)
            udev_monitor_unref(monitor_);
        if (udev_ != nullptr)
            udev_unref(udev_);
        close(stopFd_);
    }

private:
    static int onPrepareForSleep(sd_bus_message* message, void*, sd_bus_error*) {
        int starting = 0;
        if (sd_bus_message_read(message, "b", &starting) < 0)
            return 0;
        if (starting != 0) {
            publishPowerEvent(kPowerSuspend);
        } else {
            publishPowerEvent(kPowerResumeAutomatic);
            publishPowerEvent(kPowerResumeSuspend);
        }
        return 0;
    }

    void run() {
        for (;;) {
            pollfd fds[3];
            nfds_t count = 0;
            fds[count++] = {stopFd_, POLLIN, 0};
            const int monitorIndex = monitor_ != nullptr ? static_cast<int>(count) : -1;
            if (monitor_ != nullptr)
                fds[count++] = {udev_monitor_get_fd(monitor_), POLLIN, 0};
            int timeoutMs = -1;
            if (bus_ != nullptr) {
                const int events = sd_bus_get_events(bus_);
                fds[count++] = {sd_bus_get_fd(bus_), static_cast<short>(events < 0 ? 0 : events),
                                0};
                uint64_t until = 0;
                // The bus asks for a wake-up time only while a call of its own is pending.
                if (sd_bus_get_timeout(bus_, &until) > 0 && until != UINT64_MAX) {
                    timespec now{};
                    clock_gettime(CLOCK_MONOTONIC, &now);
                    const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                                           static_cast<uint64_t>(now.tv_nsec) / 1000u;
                    timeoutMs = until <= nowUs ? 0 : static_cast<int>((until - nowUs + 999) / 1000);
                }
            }
            if (poll(fds, count, timeoutMs) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[0].revents != 0)
                return;
            if (monitorIndex >= 0 && fds[monitorIndex].revents != 0) {
                if (udev_device* device = udev_monitor_receive_device(monitor_))
                    udev_device_unref(device);
                const PowerStatus now = readPowerSupplyFolder(kPowerSupplyFolder);
                if (now != last_) {
                    last_ = now;
                    publishPowerEvent(kPowerStatusChange);
                }
            }
            if (bus_ != nullptr) {
                int processed = 0;
                while ((processed = sd_bus_process(bus_, nullptr)) > 0) {
                }
                // A bus that went away (the daemon restarted) stays readable for ever: poll
                // would never sleep again. Standby and resume are no longer heard then.
                if (processed < 0)
                    dropBus();
            }
        }
    }

    void dropBus() {
        if (match_ != nullptr)
            match_ = sd_bus_slot_unref(match_);
        sd_bus_close_unref(bus_); // nothing can be flushed over a lost connection
        bus_ = nullptr;
    }

    udev* udev_;
    udev_monitor* monitor_;
    sd_bus* bus_;
    sd_bus_slot* match_ = nullptr;
    int stopFd_;
    PowerStatus last_;
    std::thread thread_;
};

} // namespace

PowerStatus readPowerSupplyFolder(const std::string& folder) {
    PowerStatus status;
    std::error_code error;
    bool anyMains = false;
    bool mainsOnline = false;
    bool discharging = false;
    long capacitySum = 0;
    int batteries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const auto path = entry.path();
        const std::string type = readAttribute(path, "type");
        if (type == "Battery") {
            long present = 1;
            readNumber(readAttribute(path, "present"), present);
            if (present == 0)
                continue;
            if (readAttribute(path, "status") == "Discharging")
                discharging = true;
            long capacity = 0;
            if (readNumber(readAttribute(path, "capacity"), capacity) && capacity >= 0 &&
                capacity <= 100) {
                capacitySum += capacity;
                ++batteries;
            }
        } else if (!type.empty()) {
            long online = 0;
            if (!readNumber(readAttribute(path, "online"), online))
                continue;
            anyMains = true;
            if (online != 0)
                mainsOnline = true;
        }
    }
    if (anyMains)
        status.acLineStatus = mainsOnline ? kAcOnline : kAcOffline;
    else
        status.acLineStatus = discharging ? kAcOffline : kAcOnline;
    if (batteries > 0)
        status.batteryLifePercent = static_cast<uint8_t>(capacitySum / batteries);
    return status;
}

std::unique_ptr<PowerSource> startLinuxPowerSource() {
    const int stopFd = eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0)
        return nullptr;
    udev* context = udev_new();
    udev_monitor* monitor = nullptr;
    if (context != nullptr) {
        monitor = udev_monitor_new_from_netlink(context, "udev");
        if (monitor != nullptr && (udev_monitor_filter_add_match_subsystem_devtype(
                                       monitor, "power_supply", nullptr) < 0 ||
                                   udev_monitor_enable_receiving(monitor) < 0)) {
            udev_monitor_unref(monitor);
            monitor = nullptr;
        }
    }
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        bus = nullptr;
    return std::make_unique<LinuxPowerSource>(context, monitor, bus, stopFd);
}

} // namespace platform
