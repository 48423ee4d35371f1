#include "platform/Clock.h"
#include "platform/PseudoTerminal.h"
#include "platform/SerialDevice.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace platform;

constexpr double kTestScale = 0.05;
constexpr std::chrono::seconds kArrivalLimit{10};

std::wstring devicePath(const PseudoTerminal& terminal) {
    const std::string name = terminal.portName();
    return L"\\\\.\\" + std::wstring(name.begin(), name.end());
}

class SerialOnPseudoTerminal : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{kTestScale};
    void SetUp() override {
        ASSERT_TRUE(terminal.open());
        handle = serialOpen(devicePath(terminal));
        ASSERT_NE(handle, nullptr) << "error " << serialLastError();
        SerialTimeouts timeouts;
        timeouts.readIntervalMs = kSerialMaxTimeout;
        timeouts.readTotalConstantMs = 500;
        timeouts.writeTotalPerByteMs = 1;
        timeouts.writeTotalConstantMs = 500;
        ASSERT_TRUE(serialSetTimeouts(handle, timeouts));
        SerialLineSettings settings;
        ASSERT_TRUE(serialSetLineSettings(handle, settings));
    }
    void TearDown() override {
        if (handle != nullptr)
            serialClose(handle);
    }

    // Master side input, collected until `count` bytes or nothing more arrives.
    std::string masterInput(size_t count) {
        std::string text;
        while (text.size() < count && waitForInput({&terminal}, 500, nullptr) == 0) {
            char buffer[256];
            const long got = terminal.readAvailable(buffer, sizeof buffer);
            if (got <= 0)
                break;
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    }

    PseudoTerminal terminal;
    SerialHandle handle = nullptr;
};

TEST(SerialPaths, DevicePrefixOpensUnderDevAndOtherPathsStayAsTheyAre) {
    EXPECT_EQ(serialSystemPath(L"\\\\.\\pts/7"), "/dev/pts/7");
    EXPECT_EQ(serialSystemPath(L"\\\\.\\ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(serialSystemPath(L"/tmp/port"), "/tmp/port");
    EXPECT_FALSE(serialDeviceExists(L"\\\\.\\no-such-port-here"));
}

TEST(SerialOpen, MissingDeviceGivesFileNotFound) {
    EXPECT_EQ(serialOpen(L"\\\\.\\no-such-port-here"), nullptr);
    EXPECT_EQ(serialLastError(), kErrorFileNotFound);
}

TEST(SerialOpen, RegularFileIsNoSerialPort) {
    char name[] = "/tmp/kestrel-serial-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    const std::string path = name;
    SerialHandle handle = serialOpen(std::wstring(path.begin(), path.end()));
    ASSERT_NE(handle, nullptr);
    SerialLineSettings settings;
    EXPECT_FALSE(serialGetLineSettings(handle, settings));
    EXPECT_EQ(serialLastError(), kErrorInvalidFunction);
    serialClose(handle);
    std::remove(name);
}

TEST_F(SerialOnPseudoTerminal, SecondOpenerIsDeniedWhileThePortIsHeld) {
    EXPECT_EQ(serialOpen(devicePath(terminal)), nullptr);
    EXPECT_EQ(serialLastError(), kErrorAccessDenied);
    serialClose(handle);
    handle = serialOpen(devicePath(terminal));
    EXPECT_NE(handle, nullptr) << "closing must release the port";
}

// Whether a program without privileges can open the device path for reading and writing.
bool unprivilegedOpenSucceeds(const std::string& path) {
    const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups -- sh -c "
                                "'exec 3<>" +
                                path + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

TEST_F(SerialOnPseudoTerminal, ClosedPortOpensAgainForAnUnprivilegedProgram) {
    if (std::system("setpriv --reuid=65534 --regid=65534 --clear-groups -- true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root to run a program without privileges";
    std::filesystem::permissions(
        terminal.slavePath(),
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
            std::filesystem::perms::group_read | std::filesystem::perms::group_write |
            std::filesystem::perms::others_read | std::filesystem::perms::others_write);
    EXPECT_FALSE(unprivilegedOpenSucceeds(terminal.slavePath())) << "the port is held";
    serialClose(handle);
    handle = nullptr;
    EXPECT_TRUE(unprivilegedOpenSucceeds(terminal.slavePath()))
        << "closing must end the exclusive use";
}

TEST_F(SerialOnPseudoTerminal, SilentReadReturnsAfterTheTotalTimeoutWithNothing) {
    char buffer[1023];
    uint32_t got = 99;
    const uint64_t start = tickMs();
    EXPECT_TRUE(serialRead(handle, buffer, sizeof buffer, got));
    const uint64_t elapsed = tickMs() - start;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 495u);
    EXPECT_LT(elapsed, 1500u);
}

TEST_F(SerialOnPseudoTerminal, ReadCollectsUntilTheTimeoutAndReturnsEarlyWhenTheCountArrives) {
    ASSERT_TRUE(terminal.writeAll("hello"));
    char buffer[64];
    uint32_t got = 0;
    const uint64_t start = tickMs();
    EXPECT_TRUE(serialRead(handle, buffer, sizeof buffer, got));
    EXPECT_GE(tickMs() - start, 495u) << "fewer bytes than asked: the read waits for the timeout";
    EXPECT_EQ(std::string(buffer, got), "hello");

    ASSERT_TRUE(terminal.writeAll("abcdef"));
    const uint64_t again = tickMs();
    EXPECT_TRUE(serialRead(handle, buffer, 4, got));
    EXPECT_LT(tickMs() - again, 400u) << "the full count returns at once";
    EXPECT_EQ(std::string(buffer, got), "abcd");
}

TEST_F(SerialOnPseudoTerminal, ZeroCountReadReturnsAtOnce) {
    char buffer[4];
    uint32_t got = 5;
    const uint64_t start = tickMs();
    EXPECT_TRUE(serialRead(handle, buffer, 0, got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(tickMs() - start, 400u);
}

TEST_F(SerialOnPseudoTerminal, WrittenBytesReachTheOtherSideUnchanged) {
    const std::string frame = "AT%MODE?\r\n\x01\xff";
    uint32_t written = 0;
    ASSERT_TRUE(serialWrite(handle, frame.data(), static_cast<uint32_t>(frame.size()), written));
    EXPECT_EQ(written, frame.size());
    EXPECT_TRUE(serialFlush(handle));
    EXPECT_EQ(masterInput(frame.size()), frame);
}

TEST_F(SerialOnPseudoTerminal, PurgeDiscardsPendingInput) {
    const std::string stale = "stale answer";
    ASSERT_TRUE(terminal.writeAll(stale));
    // A terminal hands written bytes on to its other side a moment later.
    ASSERT_TRUE(testsupport::waitUntil([&] { return terminal.unreadByClient() == stale.size(); },
                                       kArrivalLimit));
    EXPECT_TRUE(serialPurge(handle, kPurgeReceiveAbort | kPurgeReceiveClear));
    ASSERT_TRUE(terminal.writeAll("fresh"));
    char buffer[64];
    uint32_t got = 0;
    EXPECT_TRUE(serialRead(handle, buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(buffer, got), "fresh");
}

TEST_F(SerialOnPseudoTerminal, VanishedDeviceFailsReadsAndWritesWithoutHanging) {
    terminal.close();
    char buffer[64];
    uint32_t count = 0;
    const uint64_t start = tickMs();
    EXPECT_FALSE(serialRead(handle, buffer, sizeof buffer, count));
    EXPECT_EQ(serialLastError(), kErrorDeviceNotConnected);
    EXPECT_FALSE(serialWrite(handle, "AT\r\n", 4, count));
    EXPECT_LT(tickMs() - start, 400u);
}

TEST_F(SerialOnPseudoTerminal, DataThatArrivedBeforeTheDeviceVanishedIsStillDelivered) {
    const std::string answer = "\r\nOK\r\n";
    ASSERT_TRUE(terminal.writeAll(answer));
    ASSERT_TRUE(testsupport::waitUntil([&] { return terminal.unreadByClient() == answer.size(); },
                                       kArrivalLimit));
    char buffer[64];
    uint32_t got = 0;
    // The read takes the answer and keeps waiting for more when the device goes away. The
    // device goes once the read has taken the answer: a terminal whose master closes discards
    // what its client had not read.
    std::thread unplug([this] {
        testsupport::waitUntil([&] { return terminal.unreadByClient() == 0; }, kArrivalLimit);
        sleepMs(200);
        terminal.close();
    });
    EXPECT_TRUE(serialRead(handle, buffer, sizeof buffer, got));
    unplug.join();
    EXPECT_EQ(std::string(buffer, got), "\r\nOK\r\n");
    EXPECT_FALSE(serialRead(handle, buffer, sizeof buffer, got));
}

TEST(SerialOpen, PortStartsWithoutWhatTheDeviceSentBeforeTheOpen) {
    const testsupport::ScopedTimeScale scale(kTestScale);
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.open());
    ASSERT_TRUE(terminal.writeAll("left over"));
    SerialHandle handle = serialOpen(devicePath(terminal));
    ASSERT_NE(handle, nullptr);
    SerialTimeouts timeouts;
    timeouts.readIntervalMs = kSerialMaxTimeout;
    timeouts.readTotalConstantMs = 100;
    ASSERT_TRUE(serialSetTimeouts(handle, timeouts));
    char buffer[64];
    uint32_t got = 9;
    EXPECT_TRUE(serialRead(handle, buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    serialClose(handle);
}

TEST(PseudoTerminalOwner, WritingToAClientThatNeverReadsGivesUpAfterItsTimeout) {
    const testsupport::ScopedTimeScale scale(kTestScale);
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.open());
    const std::string block(1 << 20, 'x');
    const uint64_t start = tickMs();
    EXPECT_FALSE(terminal.writeAll(block.data(), block.size(), 1000));
    EXPECT_GE(tickMs() - start, 995u);
    EXPECT_LT(tickMs() - start, 5000u);
}

TEST(PseudoTerminalOwner, WaitForInputWakesOnNotifyAndTimesOut) {
    const testsupport::ScopedTimeScale scale(kTestScale);
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.open());
    PseudoTerminalWakeup wakeup;
    EXPECT_EQ(waitForInput({&terminal}, 100, &wakeup), -1);
    wakeup.notify();
    EXPECT_EQ(waitForInput({&terminal}, kInfiniteMs, &wakeup), -2);
    wakeup.clear();
    EXPECT_EQ(waitForInput({&terminal}, 100, &wakeup), -1);
}

TEST(SerialHandles, MissingHandleIsRefused) {
    char buffer[4];
    uint32_t count = 0;
    EXPECT_FALSE(serialRead(nullptr, buffer, sizeof buffer, count));
    EXPECT_EQ(serialLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(serialWrite(nullptr, buffer, sizeof buffer, count));
    EXPECT_FALSE(serialPurge(nullptr, kPurgeReceiveClear));
    EXPECT_FALSE(serialClose(nullptr));
}

} // namespace
