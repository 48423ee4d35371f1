#pragma once

#include "platform/linux/UdevDeviceRecord.h"

#include <functional>
#include <string>
#include <thread>

struct udev;
struct udev_monitor;

namespace platform {

// Listens to udev's processed events ("udev" source, so the rules' properties are there) for
// usb, tty, net and usbmisc devices on its own thread, until stopped through an eventfd.
class UdevMonitor {
public:
    // An event: its action ("add", "remove", "bind", ...) and the device.
    using EventHandler = std::function<void(const std::string& action, const UdevDeviceRecord&)>;
    // Events were lost (the socket's buffer overran): the caller must read everything again.
    using OverrunHandler = std::function<void()>;
    // Called before every wait: does what is due and says how long the thread may wait for the
    // next event, in real milliseconds (negative: without limit).
    using TimerHandler = std::function<int()>;

    UdevMonitor() = default;
    ~UdevMonitor();
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    // Starts receiving (events are queued from here on, so an enumeration that follows misses
    // nothing). False when the monitor cannot be created.
    bool open(udev* context);
    // Hands queued and future events to the handlers on the monitor's thread.
    bool start(EventHandler onEvent, OverrunHandler onOverrun, TimerHandler onTimer);
    // Ends the thread and waits for it; the handlers are not called after return.
    void stop();

private:
    void run();

    udev_monitor* monitor_ = nullptr;
    int stopEvent_ = -1;
    EventHandler onEvent_;
    OverrunHandler onOverrun_;
    TimerHandler onTimer_;
    std::thread thread_;
};

} // namespace platform
