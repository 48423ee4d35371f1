#include "UeventSocket.h"

#include <dlfcn.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace udevtest {
namespace ueventsocket {
namespace {

constexpr auto kWait = std::chrono::seconds(10);

std::mutex& receiptMutex() {
    static std::mutex mutex;
    return mutex;
}
std::condition_variable& receiptArrived() {
    static std::condition_variable condition;
    return condition;
}
size_t receipts = 0;
std::atomic<bool> overrunArmed{false};

} // namespace

size_t received() {
    std::lock_guard<std::mutex> guard(receiptMutex());
    return receipts;
}

bool waitBeyond(size_t seen) {
    std::unique_lock<std::mutex> lock(receiptMutex());
    return receiptArrived().wait_for(lock, kWait, [&] { return receipts > seen; });
}

void overrunNext() {
    overrunArmed = true;
}

namespace {

void count() {
    std::lock_guard<std::mutex> guard(receiptMutex());
    ++receipts;
    receiptArrived().notify_all();
}

// umockdev's preload hands udev's messages over as coming from udev's netlink group.
bool fromUdev(const msghdr* message) {
    const auto* sender = static_cast<const sockaddr_nl*>(message->msg_name);
    return sender && message->msg_namelen >= sizeof(sa_family_t) && sender->nl_family == AF_NETLINK;
}

} // namespace
} // namespace ueventsocket
} // namespace udevtest

// libudev reads its monitor socket with recvmsg: this definition in the test program comes
// before the preloaded umockdev's and passes every call on to it.
extern "C" ssize_t recvmsg(int fd, msghdr* message, int flags) {
    using Receive = ssize_t (*)(int, msghdr*, int);
    static const auto next = reinterpret_cast<Receive>(dlsym(RTLD_NEXT, "recvmsg"));
    const ssize_t result = next(fd, message, flags);
    if (result <= 0 || (flags & MSG_PEEK) != 0 || !udevtest::ueventsocket::fromUdev(message))
        return result;
    udevtest::ueventsocket::count();
    if (udevtest::ueventsocket::overrunArmed.exchange(false)) {
        errno = ENOBUFS;
        return -1;
    }
    return result;
}
