#include "platform/windows/HiddenWindowThread.h"

namespace platform {
namespace {

constexpr const wchar_t* kWindowClass = L"KestrelHiddenWindow";
// Between two attempts to ask the thread to end while a post is refused (a full queue).
constexpr DWORD kStopRetryMs = 50;

bool registerWindowClass(WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

} // namespace

HiddenWindowThread::State::~State() {
    if (finished != nullptr)
        CloseHandle(finished);
}

HiddenWindowThread::~HiddenWindowThread() {
    stop();
}

bool HiddenWindowThread::start(Setup setup, Procedure procedure, Teardown teardown,
                               const wchar_t* title) {
    if (thread_.joinable())
        return false;
    auto state = std::make_shared<State>();
    state->setup = std::move(setup);
    state->procedure = std::move(procedure);
    state->teardown = std::move(teardown);
    state->finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ready == nullptr || state->finished == nullptr) {
        if (ready != nullptr)
            CloseHandle(ready);
        return false;
    }
    bool created = false;
    thread_ = std::thread([state, title, ready, &created] { run(state, title, ready, created); });
    WaitForSingleObject(ready, INFINITE); // the thread sets it on every path
    CloseHandle(ready);
    if (!created) {
        thread_.join();
        return false;
    }
    state_ = std::move(state);
    return true;
}

bool HiddenWindowThread::stop() {
    if (!thread_.joinable())
        return true;
    State& state = *state_;
    // WM_CLOSE tears the window down; when it cannot be posted (the queue is full, the window is
    // gone), WM_QUIT ends the thread's loop and the system destroys the window with the thread.
    const auto askToEnd = [&state] {
        return PostMessageW(state.window, WM_CLOSE, 0, 0) != 0 ||
               PostThreadMessageW(state.threadId, WM_QUIT, 0, 0) != 0;
    };
    bool asked = askToEnd();
    const ULONGLONG deadline = GetTickCount64() + kStopBoundMs;
    DWORD waited = WaitForSingleObject(state.finished, asked ? kStopBoundMs : kStopRetryMs);
    while (waited == WAIT_TIMEOUT && GetTickCount64() < deadline) {
        if (!asked)
            asked = askToEnd();
        waited = WaitForSingleObject(state.finished, kStopRetryMs);
    }
    const bool ended = waited == WAIT_OBJECT_0;
    if (ended) {
        thread_.join();
    } else {
        state.abandoned = true;
        thread_.detach();
    }
    state_.reset();
    return ended;
}

void HiddenWindowThread::run(const std::shared_ptr<State>& state, const wchar_t* title,
                             HANDLE ready, bool& created) {
    state->threadId = GetCurrentThreadId();
    if (registerWindowClass(windowProcedure))
        state->window = CreateWindowExW(0, kWindowClass, title, WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, GetModuleHandleW(nullptr), state.get());
    const bool usable = state->window != nullptr && (!state->setup || state->setup(state->window));
    if (!usable && state->window != nullptr)
        DestroyWindow(state->window);
    // `created` lives in start(), which may return as soon as `ready` is set: it is not read
    // after that.
    created = usable;
    SetEvent(ready);
    if (!usable)
        return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (IsWindow(state->window))
        DestroyWindow(state->window);
    SetEvent(state->finished);
}

LRESULT CALLBACK HiddenWindowThread::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                                     LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* state = reinterpret_cast<State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (state == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
    case WM_CLOSE:
        if (state->teardown && !state->abandoned)
            state->teardown(window);
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    LRESULT result = 0;
    if (state->procedure && !state->abandoned && state->procedure(message, wParam, lParam, result))
        return result;
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace platform
