#include "tests/support/DetectionTestSupport.h"

#include "detection/XLog.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace detectiontest;

TEST(XLog, LevelFilterFollowsTheLogLevel) {
    LogCapture log(0);
    // Message levels 0 to 4 under each log level; 4 counts as 3.
    const bool expected[4][5] = {
        {true, false, true, true, true},
        {true, true, true, true, true},
        {false, false, true, true, true},
        {false, false, false, true, true},
    };
    for (uint16_t level = 0; level < 4; ++level) {
        NwSetLogLevel(level);
        for (int message = 0; message < 5; ++message) {
            log.clear();
            detection::XLogAt(message, "Nw: message %d", message);
            EXPECT_EQ(log.has("Nw: message " + std::to_string(message)), expected[level][message])
                << "log level " << level << ", message level " << message;
        }
    }
}

TEST(XLog, AlwaysEmittedMessagesPassEveryLevel) {
    LogCapture log(3);
    detection::XLog("Nw: Nexwatch v%x.%x (%s static library, loglevel=%d)", 1, 0, "Unicode", 3);
    EXPECT_TRUE(log.has("Nw: Nexwatch v1.0 (Unicode static library, loglevel=3)"));
}

TEST(XLog, LevelAboveThreeIsStoredAsThreeAndLoggedAsAsked) {
    LogCapture log(0);
    NwSetLogLevel(7);
    EXPECT_EQ(detection::logLevel(), 3);
    EXPECT_TRUE(log.has("Nw: Logging level has been set to 7"));
    log.clear();
    NwSetLogLevel(7);
    EXPECT_TRUE(log.has("Nw: Logging level has been set to 7")) << "7 differs from the stored 3";
    log.clear();
    NwSetLogLevel(3);
    EXPECT_TRUE(log.lines().empty()) << "the same level does nothing";
}

TEST(XLog, LoggingKeepsErrnoAndHandlesNullTexts) {
    LogCapture log(1);
    errno = 42;
    detection::XLogAt(1, "Nw: %s", "text");
    EXPECT_EQ(errno, 42);
    detection::XLog(nullptr);
    EXPECT_TRUE(log.has("XLog: <Null>."));
    detection::XLogString(nullptr);
    EXPECT_TRUE(log.has("XLogString: <Null>."));
    EXPECT_EQ(errno, 42);
}

TEST(XLog, MessagesReachTheCallbackAsWideTextWithItsContext) {
    struct Received {
        std::wstring text;
        int calls = 0;
    } received;
    NwSetLogCallback(
        [](const wchar_t* text, void* context) {
            auto* into = static_cast<Received*>(context);
            into->text = text;
            ++into->calls;
        },
        &received);
    detection::XLog("Nw: caf\xC3\xA9 %d", 7);
    NwSetLogCallback(nullptr, nullptr);
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.text, L"Nw: caf\u00E9 7");
}

} // namespace
