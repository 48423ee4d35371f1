#include "platform/PseudoTerminal.h"

#include "platform/Clock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace platform {

PseudoTerminalWakeup::PseudoTerminalWakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PseudoTerminalWakeup::~PseudoTerminalWakeup() {
    if (fd_ >= 0)
        ::close(fd_);
}

void PseudoTerminalWakeup::notify() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
}

void PseudoTerminalWakeup::clear() {
    uint64_t value = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd_, &value, sizeof value);
}

PseudoTerminal::~PseudoTerminal() {
    close();
}

bool PseudoTerminal::open() {
    close();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    char name[128] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return false;
    }
    termios attributes{};
    if (::tcgetattr(master, &attributes) == 0) {
        cfmakeraw(&attributes);
        ::tcsetattr(master, TCSANOW, &attributes);
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        ::close(master);
        return false;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    master_ = master;
    slave_ = slave;
    portName_ = std::strncmp(name, "/dev/", 5) == 0 ? name + 5 : name;
    return true;
}

bool PseudoTerminal::adopt(int master, const std::string& portName) {
    close();
    const int own = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return false;
    char name[128] = {};
    if (::ptsname_r(own, name, sizeof name) != 0) {
        ::close(own);
        return false;
    }
    // Without a slave of its own the master reads as hung up while no client has the port open.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        ::close(own);
        return false;
    }
    termios attributes{};
    if (::tcgetattr(own, &attributes) == 0) {
        cfmakeraw(&attributes);
        ::tcsetattr(own, TCSANOW, &attributes);
    }
    ::fcntl(own, F_SETFL, ::fcntl(own, F_GETFL) | O_NONBLOCK);
    master_ = own;
    slave_ = slave;
    portName_ = portName;
    return true;
}

void PseudoTerminal::close() {
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    slave_ = -1;
    master_ = -1;
    portName_.clear();
}

long PseudoTerminal::readAvailable(void* buffer, size_t capacity) {
    if (master_ < 0)
        return -1;
    for (;;) {
        const ssize_t got = ::read(master_, buffer, capacity);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

bool PseudoTerminal::writeAll(const void* data, size_t size, uint64_t timeoutMs) {
    if (master_ < 0)
        return false;
    using SteadyClock = std::chrono::steady_clock;
    const auto deadline = SteadyClock::now() + realDuration(timeoutMs);
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(master_, bytes + done, size - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        const auto left = deadline - SteadyClock::now();
        if (left <= SteadyClock::duration::zero())
            return false;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec pause{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd entry{master_, POLLOUT, 0};
        if (::ppoll(&entry, 1, &pause, nullptr) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

void PseudoTerminal::discardInput() {
    if (master_ >= 0)
        ::tcflush(master_, TCIFLUSH);
}

size_t PseudoTerminal::unreadByClient() const {
    int queued = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &queued) != 0 || queued < 0)
        return 0;
    return static_cast<size_t>(queued);
}

int waitForInput(const std::vector<PseudoTerminal*>& terminals, uint64_t timeoutMs,
                 PseudoTerminalWakeup* wakeup) {
    using SteadyClock = std::chrono::steady_clock;
    const auto deadline =
        SteadyClock::now() + realDuration(timeoutMs == kInfiniteMs ? 0 : timeoutMs);
    for (;;) {
        std::vector<pollfd> entries;
        for (const PseudoTerminal* terminal : terminals)
            entries.push_back({terminal != nullptr ? terminal->descriptor() : -1, POLLIN, 0});
        if (wakeup != nullptr)
            entries.push_back({wakeup->descriptor(), POLLIN, 0});
        timespec pause{};
        timespec* limit = nullptr;
        if (timeoutMs != kInfiniteMs) {
            const auto left = deadline - SteadyClock::now();
            const auto ns =
                left <= SteadyClock::duration::zero()
                    ? 0
                    : std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            pause.tv_sec = static_cast<time_t>(ns / 1000000000);
            pause.tv_nsec = static_cast<long>(ns % 1000000000);
            limit = &pause;
        }
        const int ready = ::ppoll(entries.data(), entries.size(), limit, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                if (wakeup != nullptr)
                    continue;
                return -2;
            }
            return -1;
        }
        if (ready == 0)
            return -1;
        if (wakeup != nullptr && (entries.back().revents & POLLIN) != 0)
            return -2;
        for (size_t index = 0; index < terminals.size(); ++index) {
            if ((entries[index].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                return static_cast<int>(index);
        }
    }
}

} // namespace platform
