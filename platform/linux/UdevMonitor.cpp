#include "platform/linux/UdevMonitor.h"

#include <libudev.h>

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kEventSource = "udev";
constexpr const char* kSubsystems[] = {"usb", "tty", "net", "usbmisc"};
// Room for a card's burst of events while the tree is being rebuilt.
constexpr int kReceiveBufferSize = 4 * 1024 * 1024;

constexpr int kWaitWithoutLimit = -1;

enum PollSlot { kStopSlot = 0, kMonitorSlot = 1, kSlotCount = 2 };

} // namespace

UdevMonitor::~UdevMonitor() {
    stop();
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (stopEvent_ >= 0)
        ::close(stopEvent_);
}

bool UdevMonitor::open(udev* context) {
    monitor_ = udev_monitor_new_from_netlink(context, kEventSource);
    if (!monitor_)
        return false;
    for (const char* subsystem : kSubsystems)
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, subsystem, nullptr);
    udev_monitor_set_receive_buffer_size(monitor_, kReceiveBufferSize);
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return stopEvent_ >= 0 && udev_monitor_enable_receiving(monitor_) >= 0;
}

bool UdevMonitor::start(EventHandler onEvent, OverrunHandler onOverrun, TimerHandler onTimer) {
    if (!monitor_ || stopEvent_ < 0 || thread_.joinable())
        return false;
    onEvent_ = std::move(onEvent);
    onOverrun_ = std::move(onOverrun);
    onTimer_ = std::move(onTimer);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void UdevMonitor::stop() {
    if (!thread_.joinable())
        return;
    const uint64_t one = 1;
    while (::write(stopEvent_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
}

void UdevMonitor::run() {
    pollfd slots[kSlotCount] = {{stopEvent_, POLLIN, 0},
                                {udev_monitor_get_fd(monitor_), POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(slots, kSlotCount, onTimer_ ? onTimer_() : kWaitWithoutLimit);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (ready == 0)
            continue;
        if (slots[kStopSlot].revents != 0)
            return;
        if (slots[kMonitorSlot].revents == 0)
            continue;
        errno = 0;
        udev_device* device = udev_monitor_receive_device(monitor_);
        if (!device) {
            const int error = errno;
            if (error == ENOBUFS)
                onOverrun_();
            else if (error != 0 && error != EAGAIN && error != EINTR &&
                     (slots[kMonitorSlot].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                return; // the socket is broken: waiting on it again would spin
            continue;
        }
        const char* action = udev_device_get_action(device);
        const std::string actionText = action ? action : "";
        const UdevDeviceRecord record = readUdevDevice(device);
        udev_device_unref(device);
        onEvent_(actionText, record);
    }
}

} // namespace platform
