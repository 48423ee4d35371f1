#pragma once

#include <windows.h>

#include <functional>
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

    HiddenWindowThread() = default;
    ~HiddenWindowThread();
    HiddenWindowThread(const HiddenWindowThread&) = delete;
    HiddenWindowThread& operator=(const HiddenWindowThread&) = delete;

    // Starts the thread and waits until its window exists and is set up; false when either
    // failed (the thread has ended then).
    bool start(Setup setup, Procedure procedure, Teardown teardown = {});
    void stop();

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    void run(HANDLE ready, bool& created);

    Setup setup_;
    Teardown teardown_;
    Procedure procedure_;
    HWND window_ = nullptr;
    std::thread thread_;
};

} // namespace platform
