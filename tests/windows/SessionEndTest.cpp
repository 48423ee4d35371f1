#include "platform/TerminationRequest.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

// kestrel.exe is a GUI program: a logoff or shutdown reaches it as WM_QUERYENDSESSION and
// WM_ENDSESSION on its top-level windows, never as a console event. The first query is a
// termination request, as SIGTERM is on Linux, and the session waits for the clean end.
namespace {

constexpr const wchar_t* kHiddenWindowClass = L"KestrelHiddenWindow";
constexpr const wchar_t* kSessionWindowTitle = L"Kestrel session";
constexpr int kTerminationRequest = 15;
constexpr int kImmediateExitCode = 3;

std::atomic<int> requests{0};
std::atomic<int> lastRequest{0};

void record(int request) {
    lastRequest = request;
    ++requests;
}

LRESULT query(HWND window) {
    return SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
}

TEST(SessionEnd, LogoffIsOneTerminationRequestAndHoldsTheSessionForTheCleanEnd) {
    platform::watchTerminationRequests(record, kImmediateExitCode);
    const HWND window = FindWindowW(kHiddenWindowClass, kSessionWindowTitle);
    ASSERT_NE(window, nullptr);

    // Not watching: nothing to end cleanly, the session may end.
    platform::stopWatchingTerminationRequests();
    EXPECT_EQ(query(window), TRUE);
    EXPECT_EQ(requests.load(), 0);

    platform::watchTerminationRequests(record, kImmediateExitCode);
    EXPECT_EQ(query(window), FALSE);
    EXPECT_EQ(requests.load(), 1);
    EXPECT_EQ(lastRequest.load(), kTerminationRequest);
    // (The reason Windows shows cannot be read back here: wine lacks ShutdownBlockReasonQuery.)
    // Windows asks again while it waits: the same request, not a second one (which would end
    // the process at once), and the session stays held.
    EXPECT_EQ(query(window), FALSE);
    EXPECT_EQ(requests.load(), 1);
    // A cancelled session end changes nothing: the clean end goes on.
    EXPECT_EQ(SendMessageW(window, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF), 0);
    platform::stopWatchingTerminationRequests();
}

} // namespace
