#include "flasher/Library.h"
#include "flasher/SerialPort.h"
#include "platform/PseudoTerminal.h"
#include "SimulatedCard.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace flasher;
using testing_support::countLogged;
using testing_support::portPath;

class PortHelpers : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{testing_support::kTestScale};
    void SetUp() override {
        FfInitialise(4, testing_support::keepLogLine, 0);
        library().shareLogger();
        testing_support::clearLog();
        ASSERT_TRUE(application.open());
        ASSERT_TRUE(diagnostic.open());
        appPath = portPath(application.portName());
        diagPath = portPath(diagnostic.portName());
    }
    void TearDown() override { FfInitialise(0, nullptr, 0); }

    std::string received(platform::PseudoTerminal& terminal) {
        std::string text;
        while (platform::waitForInput({&terminal}, 200, nullptr) == 0) {
            char buffer[256];
            const long got = terminal.readAvailable(buffer, sizeof buffer);
            if (got <= 0)
                break;
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    }

    platform::PseudoTerminal application;
    platform::PseudoTerminal diagnostic;
    std::wstring appPath;
    std::wstring diagPath;
};

TEST_F(PortHelpers, MissingApplicationPathFallsBackToTheDiagnosticPort) {
    PortGuard port;
    EXPECT_EQ(openDevicePort(L"\\\\.\\pts/no-such-port", diagPath.c_str(), port.handle), 0);
    ASSERT_NE(port.handle, nullptr);
    uint32_t written = 0;
    EXPECT_EQ(WriteRaw(port.handle, "via diag", 8, &written), 1);
    EXPECT_EQ(received(diagnostic), "via diag");
    EXPECT_EQ(received(application), "");
}

TEST_F(PortHelpers, ApplicationPortIsPreferredWhenItExists) {
    PortGuard port;
    EXPECT_EQ(openDevicePort(appPath.c_str(), diagPath.c_str(), port.handle), 0);
    uint32_t written = 0;
    EXPECT_EQ(WriteRaw(port.handle, "via app", 7, &written), 1);
    EXPECT_EQ(received(application), "via app");
}

TEST_F(PortHelpers, BothPathsEmptyGive4WithoutOpening) {
    PortHandle handle = reinterpret_cast<PortHandle>(&handle);
    const uint64_t start = platform::tickMs();
    EXPECT_EQ(openDevicePort(L"", nullptr, handle), kOpenNoPath);
    EXPECT_EQ(handle, nullptr);
    EXPECT_LT(platform::tickMs() - start, 300u);
    EXPECT_EQ(countLogged(L"Open port"), 0u) << "no open may be attempted";
    EXPECT_EQ(openDevicePort(L"\\\\.\\pts/none", L"\\\\.\\pts/none-either", handle), kOpenNoPath);
}

TEST_F(PortHelpers, PathThatExistsButDoesNotOpenGivesTheCodeOfThatPath) {
    PortGuard holder;
    ASSERT_EQ(openPortByPath(appPath.c_str(), holder.handle), 0);
    PortGuard second;
    EXPECT_EQ(openDevicePort(appPath.c_str(), diagPath.c_str(), second.handle),
              kOpenApplicationFailed);
    EXPECT_NE(std::strstr(sharedLogger().lastError(), "Error no. 5"), nullptr)
        << sharedLogger().lastError();

    PortGuard diagnosticHolder;
    ASSERT_EQ(openPortByPath(diagPath.c_str(), diagnosticHolder.handle), 0);
    PortGuard third;
    EXPECT_EQ(openDevicePort(L"", diagPath.c_str(), third.handle), kOpenDiagnosticFailed);
}

TEST_F(PortHelpers, PortIsOpenedExclusively) {
    PortGuard first;
    ASSERT_EQ(openPortByPath(appPath.c_str(), first.handle), 0);
    PortGuard second;
    EXPECT_EQ(openPortByPath(appPath.c_str(), second.handle), kOpenNoPath);
    EXPECT_EQ(second.handle, nullptr);
}

TEST_F(PortHelpers, Silent1023ByteReadReturnsAfterTheReadTimeoutWithNothing) {
    PortGuard port;
    ASSERT_EQ(openPortByPath(appPath.c_str(), port.handle), 0);
    char buffer[1023];
    uint32_t got = 77;
    const uint64_t start = platform::tickMs();
    EXPECT_EQ(ReadRaw(port.handle, buffer, sizeof buffer, &got), 1);
    const uint64_t elapsed = platform::tickMs() - start;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 495u);
    EXPECT_LT(elapsed, 1500u);
    EXPECT_EQ(countLogged(L"Read 0 Bytes "), 1u);
}

TEST_F(PortHelpers, LongerReadTimeoutIsKept) {
    PortGuard port;
    ASSERT_EQ(openPortByPath(appPath.c_str(), port.handle), 0);
    ASSERT_EQ(SetReadTimeoutRaw(port.handle, 3), 1);
    char buffer[16];
    uint32_t got = 0;
    const uint64_t start = platform::tickMs();
    EXPECT_EQ(ReadRaw(port.handle, buffer, sizeof buffer, &got), 1);
    EXPECT_GE(platform::tickMs() - start, 2990u);
    EXPECT_EQ(SetReadTimeoutRaw(nullptr, 3), 0);
    EXPECT_STREQ(sharedLogger().lastError(), "SetReadTimeout Raw parameters error\n");
}

TEST_F(PortHelpers, WriteRawWithZeroCountFailsAndWritesNothing) {
    PortGuard port;
    ASSERT_EQ(openPortByPath(appPath.c_str(), port.handle), 0);
    uint32_t written = 0;
    EXPECT_EQ(WriteRaw(port.handle, "AT\r\n", 0, &written), 0);
    EXPECT_STREQ(sharedLogger().lastError(), "Error with parameters, in WriteRaw");
    EXPECT_EQ(WriteRaw(port.handle, nullptr, 4, &written), 0);
    EXPECT_EQ(WriteRaw(port.handle, "AT\r\n", 4, nullptr), 0);
    EXPECT_EQ(received(application), "");
}

TEST_F(PortHelpers, WriteWithoutPortFailsWithItsText) {
    uint32_t written = 0;
    EXPECT_EQ(WriteRaw(nullptr, "AT\r\n", 4, &written), 0);
    EXPECT_STREQ(sharedLogger().lastError(), "Write port not possible: Port not initialized");
}

TEST_F(PortHelpers, ReadRawRefusesMissingParameters) {
    PortGuard port;
    ASSERT_EQ(openPortByPath(appPath.c_str(), port.handle), 0);
    char buffer[4];
    uint32_t got = 0;
    EXPECT_EQ(ReadRaw(port.handle, buffer, 0, &got), 0);
    EXPECT_STREQ(sharedLogger().lastError(), "Read Raw parameters error\n");
    EXPECT_EQ(ReadRaw(nullptr, buffer, 4, &got), 0);
    EXPECT_EQ(ReadRaw(port.handle, nullptr, 4, &got), 0);
    EXPECT_EQ(ReadRaw(port.handle, buffer, 4, nullptr), 0);
}

TEST_F(PortHelpers, ReadOfAVanishedPortFailsWithItsErrorNumber) {
    PortGuard port;
    ASSERT_EQ(openPortByPath(appPath.c_str(), port.handle), 0);
    application.close();
    char buffer[16];
    uint32_t got = 0;
    EXPECT_EQ(ReadRaw(port.handle, buffer, sizeof buffer, &got), 0);
    EXPECT_STREQ(sharedLogger().lastError(), "Read port not possible: Error no. 1167");
}

TEST_F(PortHelpers, PurgeDropsWhatTheDeviceSentBefore) {
    PortGuard port;
    ASSERT_EQ(openPortByPath(appPath.c_str(), port.handle), 0);
    ASSERT_TRUE(application.writeAll("old"));
    platform::sleepMs(100);
    EXPECT_EQ(PurgeRaw(port.handle), 1);
    char buffer[16];
    uint32_t got = 9;
    EXPECT_EQ(ReadRaw(port.handle, buffer, sizeof buffer, &got), 1);
    EXPECT_EQ(got, 0u);
}

TEST_F(PortHelpers, CloseAlwaysCostsTheSettlePause) {
    PortHandle handle = nullptr;
    ASSERT_EQ(openPortByPath(appPath.c_str(), handle), 0);
    uint64_t start = platform::tickMs();
    ClosePort(handle);
    EXPECT_GE(platform::tickMs() - start, 495u);
    EXPECT_EQ(countLogged(L"Port closed! "), 1u);
    start = platform::tickMs();
    ClosePort(nullptr);
    EXPECT_GE(platform::tickMs() - start, 495u);
    EXPECT_EQ(countLogged(L"Port closed! "), 1u);
    // The port is free again.
    PortGuard again;
    EXPECT_EQ(openPortByPath(appPath.c_str(), again.handle), 0);
}

} // namespace
