#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace platform {

// A hidden top-level window on a thread of its own, for the system's broadcasts (power, device
// changes) that reach top-level windows only. The window's messages are handed to a procedure
// on that thread; stop() closes the window and joins the thread.
class HiddenWindowThread {
public:
    // Called on the window's thread: `Setup` once the window exists (to register for
    // notifications; false ends the thread), `Teardown` before it is destroyed, `Procedure` for
    // every message (true when it handled it).
    using Setup = std::function<bool(HWND)>;
    using Teardown = std::function<void(HWND)>;
    using Procedure = std::function<bool(UINT, WPARAM, LPARAM, LRESULT&)>;

    // How long stop() waits for the thread to end.
    static constexpr DWORD kStopBoundMs = 5000;

    HiddenWindowThread() = default;
    ~HiddenWindowThread();
    HiddenWindowThread(const HiddenWindowThread&) = delete;
    HiddenWindowThread& operator=(const HiddenWindowThread&) = delete;

    // Starts the thread and waits until its window exists and is set up; false when either
    // failed (the thread has ended then).
    bool start(Setup setup, Procedure procedure, Teardown teardown = {},
               const wchar_t* title = L"");
    // Closes the window and waits up to kStopBoundMs for the thread. A thread that does not end
    // in time (its procedure is stuck) is left to end by itself: from then on its window calls
    // neither the procedure nor the teardown again. False in that case.
    bool stop();

    // What the thread and its window use; it lives as long as either of them and this object.
    struct State {
        Setup setup;
        Teardown teardown;
        Procedure procedure;
        HWND window = nullptr;
        DWORD threadId = 0;
        HANDLE finished = nullptr;
        std::atomic<bool> abandoned{false};
        ~State();
    };

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    static void run(const std::shared_ptr<State>& state, const wchar_t* title, HANDLE ready,
                    bool& created);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace platform
