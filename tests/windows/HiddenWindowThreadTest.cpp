#include "platform/windows/HiddenWindowThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

// The hidden window thread of the broadcasts: stopping it is bounded, also when its window
// procedure is stuck or its window was closed from outside.
namespace {

constexpr UINT kStuckMessage = WM_APP + 1;
constexpr DWORD kEnteredWaitMs = 10000;

using Clock = std::chrono::steady_clock;

TEST(HiddenWindowThread, StopReturnsWithinItsBoundWhenTheWindowProcedureIsStuck) {
    const HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(entered, nullptr);
    ASSERT_NE(release, nullptr);
    HWND window = nullptr;
    std::atomic<int> handledAfterStop{0};
    std::atomic<bool> stopped{false};
    platform::HiddenWindowThread thread;
    ASSERT_TRUE(thread.start(
        [&window](HWND created) {
            window = created;
            return true;
        },
        [&](UINT message, WPARAM, LPARAM, LRESULT&) {
            if (stopped)
                ++handledAfterStop;
            if (message != kStuckMessage)
                return false;
            SetEvent(entered);
            WaitForSingleObject(release, INFINITE);
            return true;
        }));
    ASSERT_TRUE(PostMessageW(window, kStuckMessage, 0, 0));
    ASSERT_EQ(WaitForSingleObject(entered, kEnteredWaitMs), WAIT_OBJECT_0);

    const auto before = Clock::now();
    EXPECT_FALSE(thread.stop());
    stopped = true;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before);
    EXPECT_GE(took.count(), static_cast<long long>(platform::HiddenWindowThread::kStopBoundMs) / 2);
    EXPECT_LT(took.count(), static_cast<long long>(platform::HiddenWindowThread::kStopBoundMs) * 3);

    // Once the procedure returns the abandoned thread ends without calling it again.
    SetEvent(release);
    for (int i = 0; i < 100 && IsWindow(window); ++i)
        Sleep(50);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(handledAfterStop.load(), 0);
    CloseHandle(entered);
    CloseHandle(release);
}

TEST(HiddenWindowThread, WindowClosedFromOutsideStillStopsAtOnce) {
    HWND window = nullptr;
    bool tornDown = false;
    platform::HiddenWindowThread thread;
    ASSERT_TRUE(thread.start(
        [&window](HWND created) {
            window = created;
            return true;
        },
        [](UINT, WPARAM, LPARAM, LRESULT&) { return false; },
        [&tornDown](HWND) { tornDown = true; }));
    // Another program may post WM_CLOSE to any top-level window.
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(tornDown);
    const auto before = Clock::now();
    EXPECT_TRUE(thread.stop());
    EXPECT_LT(Clock::now() - before,
              std::chrono::milliseconds(platform::HiddenWindowThread::kStopBoundMs));
}

TEST(HiddenWindowThread, SetupThatFailsEndsTheThreadAndStartReportsIt) {
    platform::HiddenWindowThread thread;
    EXPECT_FALSE(thread.start([](HWND) { return false; },
                              [](UINT, WPARAM, LPARAM, LRESULT&) { return false; }));
    EXPECT_TRUE(thread.stop());
}

} // namespace
