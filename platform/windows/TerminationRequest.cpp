#include "platform/TerminationRequest.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace platform {
namespace {

// The request numbers handed on, the same as on the other systems: an interrupt (Ctrl+C) and a
// termination (Ctrl+Break, the console closed, logoff, shutdown).
constexpr int kInterruptRequest = 2;
constexpr int kTerminationRequest = 15;

std::atomic<int> requestCount{0};
std::atomic<int> immediateCode{1};

struct Watcher {
    std::mutex mutex;
    std::function<void(int)> handler;
    std::function<void()> lastWords;
    bool installed = false;
};

Watcher& watcher() {
    static Watcher* const instance = new Watcher; // never destroyed: a request may outlive main
    return *instance;
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
    std::function<void(int)> handler;
    {
        std::lock_guard<std::mutex> guard(watcher().mutex);
        handler = watcher().handler;
    }
    if (!handler)
        return FALSE;
    handler(event == CTRL_C_EVENT ? kInterruptRequest : kTerminationRequest);
    return TRUE;
}

} // namespace

void watchTerminationRequests(std::function<void(int)> handler, int immediateExitCode) {
    Watcher& state = watcher();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.handler = std::move(handler);
    immediateCode.store(immediateExitCode);
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
