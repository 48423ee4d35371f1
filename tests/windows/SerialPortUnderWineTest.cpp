#include "platform/SerialDevice.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

// A COM port of wine linked to the card simulator's application port (the simulator's
// --com-links): the Win32 port calls reach the card through the pseudo-terminal.
namespace {

constexpr uint32_t kAnswerWaitMs = 5000;

std::wstring portUnderTest() {
    const char* port = std::getenv("KESTREL_TEST_COM_PORT");
    return port != nullptr ? L"\\\\.\\" + std::wstring(port, port + std::strlen(port)) : L"";
}

TEST(SerialPortUnderWine, CardAnswersAnAtCommandThroughTheComPort) {
    const std::wstring path = portUnderTest();
    if (path.empty())
        GTEST_SKIP() << "KESTREL_TEST_COM_PORT names no port linked to a simulated card";
    EXPECT_TRUE(platform::serialDeviceExists(path));
    EXPECT_FALSE(platform::serialDeviceExists(L"\\\\.\\COM77"));
    platform::SerialHandle port = platform::serialOpen(path);
    ASSERT_NE(port, nullptr) << platform::serialLastError();
    platform::SerialLineSettings settings;
    ASSERT_TRUE(platform::serialGetLineSettings(port, settings)) << platform::serialLastError();
    settings.baudRate = 115200;
    EXPECT_TRUE(platform::serialSetLineSettings(port, settings)) << platform::serialLastError();
    platform::SerialTimeouts timeouts;
    timeouts.readIntervalMs = platform::kSerialMaxTimeout;
    timeouts.readTotalConstantMs = kAnswerWaitMs;
    timeouts.writeTotalConstantMs = kAnswerWaitMs;
    ASSERT_TRUE(platform::serialSetTimeouts(port, timeouts)) << platform::serialLastError();
    EXPECT_TRUE(
        platform::serialPurge(port, platform::kPurgeReceiveAbort | platform::kPurgeReceiveClear));

    // Held by this test, the port still exists for a caller that looks for it.
    EXPECT_TRUE(platform::serialDeviceExists(path));

    const std::string command = "ATI\r";
    uint32_t written = 0;
    ASSERT_TRUE(
        platform::serialWrite(port, command.data(), static_cast<uint32_t>(command.size()), written))
        << platform::serialLastError();
    EXPECT_EQ(written, command.size());
    std::string answer;
    char buffer[64];
    while (answer.find("OK") == std::string::npos) {
        uint32_t got = 0;
        ASSERT_TRUE(platform::serialRead(port, buffer, sizeof buffer, got))
            << platform::serialLastError();
        if (got == 0)
            break;
        answer.append(buffer, got);
    }
    EXPECT_NE(answer.find("OK"), std::string::npos) << answer;
    EXPECT_TRUE(platform::serialFlush(port)) << platform::serialLastError();
    EXPECT_TRUE(platform::serialClose(port));
}

// A port left by its last user with flags the line settings do not name (fAbortOnError fails
// every read after a line error, fNull drops zero bytes) is set back to neutral ones.
TEST(SerialPortUnderWine, FlagsTheLineSettingsDoNotNameAreSetToNeutralValues) {
    const std::wstring path = portUnderTest();
    if (path.empty())
        GTEST_SKIP() << "KESTREL_TEST_COM_PORT names no port linked to a simulated card";
    const HANDLE previous = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(previous, INVALID_HANDLE_VALUE) << GetLastError();
    DCB state{};
    state.DCBlength = sizeof state;
    ASSERT_TRUE(GetCommState(previous, &state));
    state.fAbortOnError = TRUE;
    state.fNull = TRUE;
    state.fErrorChar = TRUE;
    ASSERT_TRUE(SetCommState(previous, &state));
    DCB left{};
    left.DCBlength = sizeof left;
    ASSERT_TRUE(GetCommState(previous, &left));
    const bool kept = left.fAbortOnError && left.fNull;
    CloseHandle(previous);

    platform::SerialHandle port = platform::serialOpen(path);
    ASSERT_NE(port, nullptr) << platform::serialLastError();
    platform::SerialLineSettings settings;
    ASSERT_TRUE(platform::serialSetLineSettings(port, settings)) << platform::serialLastError();
    EXPECT_TRUE(platform::serialClose(port));

    const HANDLE after = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(after, INVALID_HANDLE_VALUE) << GetLastError();
    DCB now{};
    now.DCBlength = sizeof now;
    ASSERT_TRUE(GetCommState(after, &now));
    CloseHandle(after);
    if (!kept)
        GTEST_SKIP() << "this system's port does not keep fAbortOnError and fNull between users";
    EXPECT_FALSE(now.fAbortOnError);
    EXPECT_FALSE(now.fNull);
    EXPECT_FALSE(now.fErrorChar);
    EXPECT_TRUE(now.fBinary);
}

} // namespace
