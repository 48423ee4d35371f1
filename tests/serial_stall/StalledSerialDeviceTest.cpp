// A USB serial device that stops taking data keeps bytes in the port's output queue for good,
// and tcdrain waits for them without limit. Such a device is emulated here at the system-call
// boundary, the way umockdev emulates device ioctls: this program replaces ioctl, tcdrain and
// tcflush for the whole process and reports, for one pseudo-terminal, an output queue that
// empties only when the test says so. The serial backend under test is the real one.

#include "platform/Clock.h"
#include "platform/PseudoTerminal.h"
#include "platform/SerialDevice.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The emulated device: its device number, the bytes in its output queue, and when the queue
// empties on its own (never, for a stalled device).
std::atomic<dev_t> stalledDevice{0};
std::atomic<int> queuedBytes{0};
std::atomic<Clock::rep> emptiesAt{Clock::time_point::max().time_since_epoch().count()};
std::atomic<bool> outputDiscarded{false};
// The emulated tcdrain gives up after this long, so that a faulty backend fails its test
// instead of hanging it.
constexpr std::chrono::seconds kDrainGiveUp{20};

bool isStalledDevice(int fd) {
    struct stat status {};
    return stalledDevice != 0 && ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) &&
           status.st_rdev == stalledDevice;
}

bool queueEmptied() {
    return Clock::now().time_since_epoch().count() >= emptiesAt;
}

int pendingBytes() {
    return queueEmptied() ? 0 : queuedBytes.load();
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == TIOCOUTQ && isStalledDevice(fd)) {
        *static_cast<int*>(argument) = pendingBytes();
        return 0;
    }
    return static_cast<int>(::syscall(SYS_ioctl, fd, request, argument));
}

extern "C" int tcdrain(int fd) {
    if (isStalledDevice(fd)) {
        const auto giveUp = Clock::now() + kDrainGiveUp;
        while (pendingBytes() > 0 && Clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 0;
    }
    return static_cast<int>(::syscall(SYS_ioctl, fd, TCSBRK, 1));
}

extern "C" int tcflush(int fd, int queue) noexcept {
    if (isStalledDevice(fd) && (queue == TCOFLUSH || queue == TCIOFLUSH)) {
        outputDiscarded = true;
        emptiesAt = Clock::now().time_since_epoch().count();
    }
    return static_cast<int>(::syscall(SYS_ioctl, fd, TCFLSH, queue));
}

namespace {

using namespace platform;

constexpr double kTestScale = 0.1;
constexpr int kQueued = 4000;
// The flasher's write timeouts: 1 ms per byte and 500 ms.
constexpr uint32_t kWritePerByteMs = 1;
constexpr uint32_t kWriteConstantMs = 500;
constexpr uint64_t kWriteTimeoutMs = kWritePerByteMs * kQueued + kWriteConstantMs;
constexpr uint64_t kSlackMs = 3000;

class StalledSerialDevice : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{kTestScale};
    void SetUp() override {
        ASSERT_TRUE(terminal.open());
        struct stat status {};
        ASSERT_EQ(::stat(terminal.slavePath().c_str(), &status), 0);
        const std::string name = terminal.portName();
        handle = serialOpen(L"\\\\.\\" + std::wstring(name.begin(), name.end()));
        ASSERT_NE(handle, nullptr) << "error " << serialLastError();
        SerialTimeouts timeouts;
        timeouts.readIntervalMs = kSerialMaxTimeout;
        timeouts.writeTotalPerByteMs = kWritePerByteMs;
        timeouts.writeTotalConstantMs = kWriteConstantMs;
        ASSERT_TRUE(serialSetTimeouts(handle, timeouts));
        outputDiscarded = false;
        queuedBytes = kQueued;
        emptiesAt = Clock::time_point::max().time_since_epoch().count();
        stalledDevice = status.st_rdev;
    }
    void TearDown() override {
        stalledDevice = 0;
        if (handle != nullptr)
            serialClose(handle);
    }

    PseudoTerminal terminal;
    SerialHandle handle = nullptr;
};

TEST_F(StalledSerialDevice, FlushGivesUpAfterTheWriteTimeoutAndDiscardsTheQueue) {
    const uint64_t started = tickMs();
    EXPECT_FALSE(serialFlush(handle));
    const uint64_t elapsed = tickMs() - started;
    EXPECT_EQ(serialLastError(), kErrorWaitTimeout);
    EXPECT_GE(elapsed, kWriteTimeoutMs) << "the device had the whole write timeout";
    EXPECT_LT(elapsed, kWriteTimeoutMs + kSlackMs);
    EXPECT_TRUE(outputDiscarded) << "a close must not wait for what the device never takes";

    const uint64_t closing = tickMs();
    EXPECT_TRUE(serialClose(handle));
    handle = nullptr;
    EXPECT_LT(tickMs() - closing, kSlackMs);
}

TEST_F(StalledSerialDevice, FlushWaitsWhileTheDeviceTakesItsQueue) {
    constexpr uint64_t kTakesMs = 2000;
    emptiesAt = (Clock::now() + realDuration(kTakesMs)).time_since_epoch().count();
    const uint64_t started = tickMs();
    EXPECT_TRUE(serialFlush(handle));
    const uint64_t elapsed = tickMs() - started;
    EXPECT_GE(elapsed, kTakesMs);
    EXPECT_LT(elapsed, kWriteTimeoutMs);
    EXPECT_FALSE(outputDiscarded) << "what the device takes in time is never dropped";
}

} // namespace
