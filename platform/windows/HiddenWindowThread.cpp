#include "platform/windows/HiddenWindowThread.h"

namespace platform {
namespace {

constexpr const wchar_t* kWindowClass = L"KestrelHiddenWindow";

bool registerWindowClass(WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

} // namespace

HiddenWindowThread::~HiddenWindowThread() {
    stop();
}

bool HiddenWindowThread::start(Setup setup, Procedure procedure, Teardown teardown) {
    if (thread_.joinable())
        return false;
    setup_ = std::move(setup);
    procedure_ = std::move(procedure);
    teardown_ = std::move(teardown);
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ready == nullptr)
        return false;
    bool created = false;
    thread_ = std::thread([this, ready, &created] { run(ready, created); });
    WaitForSingleObject(ready, INFINITE); // the thread sets it on every path
    CloseHandle(ready);
    if (!created)
        thread_.join();
    return created;
}

void HiddenWindowThread::stop() {
    if (!thread_.joinable())
        return;
    PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
    window_ = nullptr;
}

void HiddenWindowThread::run(HANDLE ready, bool& created) {
    if (registerWindowClass(windowProcedure))
        window_ = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), this);
    created = window_ != nullptr && (!setup_ || setup_(window_));
    if (!created && window_ != nullptr)
        DestroyWindow(window_);
    SetEvent(ready);
    if (!created)
        return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK HiddenWindowThread::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                                     LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* self = reinterpret_cast<HiddenWindowThread*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
    case WM_CLOSE:
        if (self->teardown_)
            self->teardown_(window);
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    LRESULT result = 0;
    if (self->procedure_ && self->procedure_(message, wParam, lParam, result))
        return result;
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace platform
