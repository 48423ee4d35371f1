#include "platform/TerminationRequest.h"

#include "platform/windows/HiddenWindowThread.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace platform {
namespace {

// The request numbers handed on, the same as on the other systems: an interrupt (Ctrl+C) and a
// termination (Ctrl+Break, the console closed, logoff, shutdown).
constexpr int kInterruptRequest = 2;
constexpr int kTerminationRequest = 15;

// A GUI program gets no console events at logoff or shutdown, only WM_QUERYENDSESSION and
// WM_ENDSESSION on its top-level windows: a hidden one of this title receives them.
constexpr const wchar_t* kSessionWindowTitle = L"Kestrel session";
// Shown by Windows while the session waits for the clean end (the update reaching a safe point,
// the service started again, the result written).
constexpr const wchar_t* kSessionBlockReason =
    L"Kestrel is ending the firmware update; the card must not lose power before it has finished.";
// How long WM_ENDSESSION holds the session for the clean end: as long as the card may take to
// answer its loader once more (30 s), after which Windows ends the process anyway.
constexpr DWORD kSessionEndWaitMs = 30000;

std::atomic<int> requestCount{0};
std::atomic<int> immediateCode{1};

struct Watcher {
    std::mutex mutex;
    std::function<void(int)> handler;
    std::function<void()> lastWords;
    bool installed = false;
    // Never stopped: it answers the session's end until the process itself ends.
    HiddenWindowThread sessionWindow;
    bool sessionWindowStarted = false;
    HWND sessionHandle = nullptr; // set before the window receives messages
    std::atomic<bool> sessionEnding{false};
};

Watcher& watcher() {
    static Watcher* const instance = new Watcher; // never destroyed: a request may outlive main
    return *instance;
}

std::function<void(int)> currentHandler() {
    std::lock_guard<std::mutex> guard(watcher().mutex);
    return watcher().handler;
}

// The last words on a thread of their own, waited for at most kLastWordsMs; then the end.
[[noreturn]] void endSoon() {
    std::function<void()> lastWords;
    {
        std::lock_guard<std::mutex> guard(watcher().mutex);
        lastWords = watcher().lastWords;
    }
    if (lastWords) {
        auto* words = new std::function<void()>(std::move(lastWords));
        const HANDLE thread = CreateThread(
            nullptr, 0,
            [](LPVOID context) -> DWORD {
                (*static_cast<std::function<void()>*>(context))();
                return 0;
            },
            words, 0, nullptr);
        if (thread != nullptr) {
            WaitForSingleObject(thread, kLastWordsMs);
            CloseHandle(thread);
        }
    }
    exitImmediately(immediateCode.load());
}

// Called by the system on a thread it starts for each console control event.
BOOL WINAPI onControl(DWORD event) {
    const int earlier = requestCount.fetch_add(1);
    if (earlier > 1)
        exitImmediately(immediateCode.load());
    if (earlier == 1)
        endSoon();
    const std::function<void(int)> handler = currentHandler();
    if (!handler)
        return FALSE;
    handler(event == CTRL_C_EVENT ? kInterruptRequest : kTerminationRequest);
    return TRUE;
}

// Logoff and shutdown: the first query is a termination request like SIGTERM; the session is
// held (with a reason Windows shows) until the process has ended cleanly. Windows may ask more
// than once; only the first query counts as a request.
bool onSessionMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    Watcher& state = watcher();
    if (message == WM_QUERYENDSESSION) {
        const std::function<void(int)> handler = currentHandler();
        if (!handler && !state.sessionEnding) {
            result = TRUE;
            return true;
        }
        if (!state.sessionEnding.exchange(true)) {
            requestCount.fetch_add(1);
            ShutdownBlockReasonCreate(state.sessionHandle, kSessionBlockReason);
            if (handler)
                handler(kTerminationRequest);
        }
        result = FALSE;
        return true;
    }
    if (message == WM_ENDSESSION) {
        if (wParam != FALSE && state.sessionEnding)
            Sleep(kSessionEndWaitMs); // the process's own end ends this thread first
        result = 0;
        return true;
    }
    return false;
}

void startSessionWindow(Watcher& state) {
    if (state.sessionWindowStarted)
        return;
    state.sessionWindowStarted = state.sessionWindow.start(
        [&state](HWND window) {
            state.sessionHandle = window;
            return true;
        },
        onSessionMessage, {}, kSessionWindowTitle);
}

} // namespace

void watchTerminationRequests(std::function<void(int)> handler, int immediateExitCode) {
    Watcher& state = watcher();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.handler = std::move(handler);
    immediateCode.store(immediateExitCode);
    startSessionWindow(state);
    if (state.installed)
        return;
    requestCount.store(0);
    state.installed = SetConsoleCtrlHandler(onControl, TRUE) != 0;
}

void setLastWords(std::function<void()> lastWords) {
    std::lock_guard<std::mutex> guard(watcher().mutex);
    watcher().lastWords = std::move(lastWords);
}

void stopWatchingTerminationRequests() {
    Watcher& state = watcher();
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.installed)
        SetConsoleCtrlHandler(onControl, FALSE);
    state.installed = false;
    state.handler = nullptr;
}

void exitImmediately(int code) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code)); // not reached; tells the compiler so
}

} // namespace platform
