#include "platform/SerialDevice.h"
#include "platform/SerialObserver.h"

#include "platform/Clock.h"
#include "platform/WideText.h"
#include "platform/linux/Win32FromErrno.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {

struct SerialDevice {
    int fd = -1;
    SerialTimeouts timeouts;
    SerialLineSettings settings;
};

namespace {

thread_local uint32_t lastError = 0;

constexpr const wchar_t* kDevicePrefix = L"\\\\.\\";

bool fail(uint32_t error) {
    lastError = error;
    return false;
}

// What the serial calls fail with beyond "not found" and "access denied".
constexpr ErrnoMapping kSerialErrors[] = {
    {ENOTDIR, kErrorPathNotFound},     {EBUSY, kErrorAccessDenied},
    {EBADF, kErrorInvalidHandle},      {EINVAL, kErrorInvalidParameter},
    {ENOTTY, kErrorInvalidFunction},   {EIO, kErrorDeviceNotConnected},
    {ENXIO, kErrorDeviceNotConnected}, {ENODEV, kErrorDeviceNotConnected},
    {EAGAIN, kErrorNotReady},
};

uint32_t win32Error(int error) {
    return win32FromErrno(error, kSerialErrors, kErrorGenFailure);
}

bool failErrno() {
    return fail(win32Error(errno));
}

struct BaudRate {
    uint32_t rate;
    speed_t speed;
};

constexpr BaudRate kBaudRates[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool toSpeed(uint32_t rate, speed_t& speed) {
    for (const auto& entry : kBaudRates) {
        if (entry.rate == rate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

using SteadyClock = std::chrono::steady_clock;

// A flush looks at the output queue this often while the device takes it (real time: it only
// sets how soon an emptied queue is noticed).
constexpr std::chrono::milliseconds kDrainPollInterval{5};
constexpr uint64_t kDefaultDrainLimitMs = 500;

// Waits for `events` until `deadline` (none: without limit). Returns the poll result: >0 ready,
// 0 timed out, <0 failed.
int waitReady(int fd, short events, const SteadyClock::time_point* deadline, short& revents) {
    for (;;) {
        pollfd entry{fd, events, 0};
        timespec pause{};
        timespec* limit = nullptr;
        if (deadline != nullptr) {
            const auto left = *deadline - SteadyClock::now();
            if (left <= SteadyClock::duration::zero())
                return 0;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            pause.tv_sec = static_cast<time_t>(ns / 1000000000);
            pause.tv_nsec = static_cast<long>(ns % 1000000000);
            limit = &pause;
        }
        const int ready = ppoll(&entry, 1, limit, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        revents = entry.revents;
        return ready;
    }
}

// The write timeout for `count` bytes, as a write of them would have; without one, a flush
// still gives up after kDefaultDrainLimitMs.
uint64_t writeTimeoutMs(const SerialTimeouts& timeouts, uint32_t count) {
    const uint64_t totalMs =
        static_cast<uint64_t>(timeouts.writeTotalPerByteMs) * count + timeouts.writeTotalConstantMs;
    return totalMs != 0 ? totalMs : kDefaultDrainLimitMs;
}

bool outputQueued(int fd, int& queued) {
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0;
}

bool validHandle(SerialHandle handle) {
    if (handle == nullptr || handle->fd < 0)
        return fail(kErrorInvalidHandle);
    return true;
}

} // namespace

uint32_t serialLastError() {
    return lastError;
}

std::string serialSystemPath(const std::wstring& devicePath) {
    const std::wstring prefix = kDevicePrefix;
    if (devicePath.compare(0, prefix.size(), prefix) == 0)
        return "/dev/" + utf8FromWide(devicePath.substr(prefix.size()));
    return utf8FromWide(devicePath);
}

bool serialDeviceExists(const std::wstring& devicePath) {
    struct stat status {};
    return ::stat(serialSystemPath(devicePath).c_str(), &status) == 0;
}

SerialHandle serialOpen(const std::wstring& devicePath) {
    const std::string path = serialSystemPath(devicePath);
    if (path.empty()) {
        fail(kErrorPathNotFound);
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failErrno();
        return nullptr;
    }
    // TIOCEXCL keeps other users out but not root; the lock keeps every other opener out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        fail(errno == EWOULDBLOCK ? kErrorAccessDenied : win32Error(errno));
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    // A freshly opened port starts without what the device sent before anybody listened.
    ::tcflush(fd, TCIOFLUSH);
    auto* device = new SerialDevice;
    device->fd = fd;
    if (SerialObserver* observer = serialObserver())
        observer->opened(device, devicePath);
    return device;
}

bool serialGetTimeouts(SerialHandle handle, SerialTimeouts& timeouts) {
    if (!validHandle(handle))
        return false;
    timeouts = handle->timeouts;
    return true;
}

bool serialSetTimeouts(SerialHandle handle, const SerialTimeouts& timeouts) {
    if (!validHandle(handle))
        return false;
    handle->timeouts = timeouts;
    return true;
}

bool serialGetLineSettings(SerialHandle handle, SerialLineSettings& settings) {
    if (!validHandle(handle))
        return false;
    termios attributes{};
    if (::tcgetattr(handle->fd, &attributes) != 0)
        return failErrno();
    settings = handle->settings;
    const speed_t speed = cfgetospeed(&attributes);
    for (const auto& entry : kBaudRates) {
        if (entry.speed == speed)
            settings.baudRate = entry.rate;
    }
    switch (attributes.c_cflag & CSIZE) {
    case CS5:
        settings.dataBits = 5;
        break;
    case CS6:
        settings.dataBits = 6;
        break;
    case CS7:
        settings.dataBits = 7;
        break;
    default:
        settings.dataBits = 8;
        break;
    }
    settings.parity = (attributes.c_cflag & PARENB) == 0   ? SerialParity::none
                      : (attributes.c_cflag & PARODD) != 0 ? SerialParity::odd
                                                           : SerialParity::even;
    settings.parityCheck = (attributes.c_iflag & INPCK) != 0;
    settings.stopBits = (attributes.c_cflag & CSTOPB) != 0 ? 2 : 1;
    settings.ctsOutputFlow = (attributes.c_cflag & CRTSCTS) != 0;
    settings.xonXoffOutput = (attributes.c_iflag & IXON) != 0;
    settings.xonXoffInput = (attributes.c_iflag & IXOFF) != 0;
    return true;
}

bool serialSetLineSettings(SerialHandle handle, const SerialLineSettings& settings) {
    if (!validHandle(handle))
        return false;
    termios attributes{};
    if (::tcgetattr(handle->fd, &attributes) != 0)
        return failErrno();
    speed_t speed = B0;
    if (!toSpeed(settings.baudRate, speed))
        return fail(kErrorInvalidParameter);
    // A serial port carries bytes: no line editing, echo, translation or signals.
    cfmakeraw(&attributes);
    cfsetispeed(&attributes, speed);
    cfsetospeed(&attributes, speed);
    attributes.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    attributes.c_cflag |= CREAD | CLOCAL;
    switch (settings.dataBits) {
    case 5:
        attributes.c_cflag |= CS5;
        break;
    case 6:
        attributes.c_cflag |= CS6;
        break;
    case 7:
        attributes.c_cflag |= CS7;
        break;
    case 8:
        attributes.c_cflag |= CS8;
        break;
    default:
        return fail(kErrorInvalidParameter);
    }
    if (settings.parity != SerialParity::none)
        attributes.c_cflag |= PARENB;
    if (settings.parity == SerialParity::odd)
        attributes.c_cflag |= PARODD;
    if (settings.parityCheck)
        attributes.c_iflag |= INPCK;
    if (settings.stopBits == 2)
        attributes.c_cflag |= CSTOPB;
    if (settings.ctsOutputFlow)
        attributes.c_cflag |= CRTSCTS;
    if (settings.xonXoffOutput)
        attributes.c_iflag |= IXON;
    if (settings.xonXoffInput)
        attributes.c_iflag |= IXOFF;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 0;
    if (::tcsetattr(handle->fd, TCSANOW, &attributes) != 0)
        return failErrno();
    // Pseudo-terminals reject the modem-control lines; that is no failure of the settings.
    int lines = TIOCM_DTR;
    ::ioctl(handle->fd, settings.dtrControl == SerialLineControl::disabled ? TIOCMBIC : TIOCMBIS,
            &lines);
    lines = TIOCM_RTS;
    ::ioctl(handle->fd, settings.rtsControl == SerialLineControl::disabled ? TIOCMBIC : TIOCMBIS,
            &lines);
    handle->settings = settings;
    return true;
}

// True when the other side of the terminal has gone (asked after a read found nothing).
static bool hungUp(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 0) <= 0)
        return false;
    return (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

namespace {

// When a read ends, from the port's timeouts as ReadFile applies them: at once with whatever
// has arrived, after a total time for the whole count, or after a gap between two bytes.
struct ReadDeadlines {
    bool returnAtOnce = false;
    bool total = false;
    bool interval = false;
    uint32_t intervalMs = 0;
    SteadyClock::time_point totalDeadline{};
    // Set again after every byte that arrives.
    SteadyClock::time_point intervalDeadline{};
};

ReadDeadlines readDeadlines(const SerialTimeouts& timeouts, uint32_t count) {
    ReadDeadlines limits;
    limits.returnAtOnce = timeouts.readIntervalMs == kSerialMaxTimeout &&
                          timeouts.readTotalPerByteMs == 0 && timeouts.readTotalConstantMs == 0;
    const uint64_t totalMs =
        static_cast<uint64_t>(timeouts.readTotalPerByteMs) * count + timeouts.readTotalConstantMs;
    limits.total = totalMs != 0;
    limits.interval = timeouts.readIntervalMs != 0 && timeouts.readIntervalMs != kSerialMaxTimeout;
    limits.intervalMs = timeouts.readIntervalMs;
    limits.totalDeadline = SteadyClock::now() + realDuration(totalMs);
    return limits;
}

// The nearest deadline in force (the gap between bytes counts once a byte has arrived), kept in
// `nearest`; nullptr when the read waits without limit.
const SteadyClock::time_point* nearestDeadline(const ReadDeadlines& limits, uint32_t bytesRead,
                                               SteadyClock::time_point& nearest) {
    const SteadyClock::time_point* deadline = nullptr;
    if (limits.total) {
        nearest = limits.totalDeadline;
        deadline = &nearest;
    }
    if (limits.interval && bytesRead > 0 &&
        (deadline == nullptr || limits.intervalDeadline < nearest)) {
        nearest = limits.intervalDeadline;
        deadline = &nearest;
    }
    return deadline;
}

// Whether a read that gave `got` bytes (none, or an error) only found nothing there yet. With
// VMIN 0 a terminal also reads 0 bytes when nothing has arrived yet; only a hang-up means the
// device has gone.
bool nothingArrivedYet(int fd, ssize_t got) {
    return got == 0 ? !hungUp(fd) : (errno == EAGAIN || errno == EWOULDBLOCK);
}

} // namespace

bool serialRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t& bytesRead) {
    bytesRead = 0;
    const SerialTransferReport report(SerialTransferReport::Direction::read, handle, buffer,
                                      bytesRead);
    if (!validHandle(handle))
        return false;
    if (count == 0)
        return true;
    if (buffer == nullptr)
        return fail(kErrorInvalidParameter);
    ReadDeadlines limits = readDeadlines(handle->timeouts, count);
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (;;) {
        const ssize_t got = ::read(handle->fd, bytes + bytesRead, count - bytesRead);
        if (got > 0) {
            bytesRead += static_cast<uint32_t>(got);
            if (bytesRead == count)
                return true;
            if (limits.interval)
                limits.intervalDeadline = SteadyClock::now() + realDuration(limits.intervalMs);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (!nothingArrivedYet(handle->fd, got)) {
            // End of file or an error on a terminal: the device has gone. What did arrive is
            // still delivered; the next read reports the loss.
            if (bytesRead > 0)
                return true;
            return got == 0 ? fail(kErrorDeviceNotConnected) : failErrno();
        }
        if (limits.returnAtOnce)
            return true;
        SteadyClock::time_point nearest{};
        short revents = 0;
        const int ready =
            waitReady(handle->fd, POLLIN, nearestDeadline(limits, bytesRead, nearest), revents);
        if (ready == 0)
            return true;
        if (ready < 0)
            return bytesRead > 0 ? true : failErrno();
        if ((revents & POLLIN) == 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return bytesRead > 0 ? true : fail(kErrorDeviceNotConnected);
    }
}

bool serialWrite(SerialHandle handle, const void* buffer, uint32_t count, uint32_t& bytesWritten) {
    bytesWritten = 0;
    const SerialTransferReport report(SerialTransferReport::Direction::write, handle, buffer,
                                      bytesWritten);
    if (!validHandle(handle))
        return false;
    if (count == 0)
        return true;
    if (buffer == nullptr)
        return fail(kErrorInvalidParameter);
    const SerialTimeouts& timeouts = handle->timeouts;
    const uint64_t totalMs =
        static_cast<uint64_t>(timeouts.writeTotalPerByteMs) * count + timeouts.writeTotalConstantMs;
    const SteadyClock::time_point deadline = SteadyClock::now() + realDuration(totalMs);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    while (bytesWritten < count) {
        const ssize_t put = ::write(handle->fd, bytes + bytesWritten, count - bytesWritten);
        if (put > 0) {
            bytesWritten += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return failErrno();
        short revents = 0;
        const int ready =
            waitReady(handle->fd, POLLOUT, totalMs != 0 ? &deadline : nullptr, revents);
        if (ready == 0)
            return true;
        if (ready < 0)
            return failErrno();
        if ((revents & POLLOUT) == 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return fail(kErrorDeviceNotConnected);
    }
    return true;
}

bool serialPurge(SerialHandle handle, uint32_t flags) {
    if (!validHandle(handle))
        return false;
    if (SerialObserver* observer = serialObserver())
        observer->purged(handle, flags);
    const bool input = (flags & (kPurgeReceiveAbort | kPurgeReceiveClear)) != 0;
    const bool output = (flags & (kPurgeTransmitAbort | kPurgeTransmitClear)) != 0;
    if (!input && !output)
        return true;
    const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (::tcflush(handle->fd, queue) != 0)
        return failErrno();
    return true;
}

bool serialFlush(SerialHandle handle) {
    if (!validHandle(handle))
        return false;
    int queued = 0;
    if (!outputQueued(handle->fd, queued))
        return failErrno();
    if (queued == 0)
        return true;
    // tcdrain would wait for a stalled device without limit; the queue is watched instead.
    const uint64_t limitMs = writeTimeoutMs(handle->timeouts, static_cast<uint32_t>(queued));
    const SteadyClock::time_point deadline = SteadyClock::now() + realDuration(limitMs);
    while (queued > 0) {
        const auto left = deadline - SteadyClock::now();
        if (left <= SteadyClock::duration::zero()) {
            // What the device did not take is dropped, so that the close does not wait for it.
            ::tcflush(handle->fd, TCOFLUSH);
            return fail(kErrorWaitTimeout);
        }
        std::this_thread::sleep_for(std::min<SteadyClock::duration>(left, kDrainPollInterval));
        if (!outputQueued(handle->fd, queued))
            return failErrno();
    }
    return true;
}

bool serialClose(SerialHandle handle) {
    if (!validHandle(handle))
        return false;
    if (SerialObserver* observer = serialObserver())
        observer->closed(handle);
    // The terminal keeps its exclusive mode after a close while its other side holds it open
    // (a pseudo-terminal), which would shut out the next unprivileged opener.
    ::ioctl(handle->fd, TIOCNXCL);
    ::flock(handle->fd, LOCK_UN);
    const int result = ::close(handle->fd);
    delete handle;
    return result == 0 ? true : failErrno();
}

} // namespace platform
