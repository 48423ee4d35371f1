#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Hidden message windows with the behaviour of Win32 message-only windows: a window belongs to
// the thread that creates it and its messages are dispatched by that thread's message loop;
// anyone may post to it from any thread; window timers follow SetTimer/KillTimer; a window can
// register for device-change and power broadcasts. A thread that waits for messages sleeps on a
// condition and uses no CPU.
namespace platform {

// A window handle. Handles are never reused, so a stale handle stays invalid.
using WindowHandle = uint64_t;
constexpr WindowHandle kNoWindow = 0;

// Message identifiers kept from Win32.
constexpr uint32_t kMessageQuit = 0x0012;           // WM_QUIT
constexpr uint32_t kMessageTimer = 0x0113;          // WM_TIMER, wParam = timer id
constexpr uint32_t kMessagePowerBroadcast = 0x0218; // WM_POWERBROADCAST, wParam = PBT_ code
constexpr uint32_t kMessageDeviceChange = 0x0219;   // WM_DEVICECHANGE, wParam = DBT_ code
constexpr uint32_t kMessageUser = 0x0400;           // WM_USER
constexpr uint32_t kMessageApp = 0x8000;            // WM_APP

// wParam of kMessageDeviceChange.
constexpr uint32_t kDeviceNodesChanged = 0x0007;   // DBT_DEVNODES_CHANGED
constexpr uint32_t kDeviceArrival = 0x8000;        // DBT_DEVICEARRIVAL
constexpr uint32_t kDeviceRemoveComplete = 0x8004; // DBT_DEVICEREMOVECOMPLETE

// Win32 error numbers reported by this facility.
struct WindowError {
    static constexpr uint32_t kInvalidHandle = 6; // no such registration
    static constexpr uint32_t kInvalidParameter = 87;
    static constexpr uint32_t kInvalidWindowHandle = 1400;
    static constexpr uint32_t kFail = 0x80004005; // E_FAIL: the system refused a registration
    static constexpr uint32_t kInvalidTimerHandle = 1402;
};

// What a device arrival or removal message carries (the broadcast header of Win32).
struct DeviceBroadcast {
    enum class Type : uint32_t {
        DeviceNode = 1,      // DBT_DEVTYP_DEVNODE
        Port = 3,            // DBT_DEVTYP_PORT: name is the port name
        DeviceInterface = 5, // DBT_DEVTYP_DEVICEINTERFACE: interface class and name
        Handle = 6,          // DBT_DEVTYP_HANDLE
    };
    Type type = Type::DeviceInterface;
    std::string interfaceClass; // "{86E0D1E0-8089-11D0-9CE4-08003E301F73}", for interfaces
    std::string name;
};

struct Message {
    WindowHandle window = kNoWindow; // kNoWindow for thread messages such as kMessageQuit
    uint32_t id = 0;
    uint64_t wParam = 0;
    int64_t lParam = 0;
    // Set for device arrival and removal messages; owned by the message, so it stays valid
    // however late the message is dispatched.
    std::shared_ptr<const DeviceBroadcast> device;
};

// The window procedure; runs on the window's thread.
using WindowProcedure = std::function<int64_t(const Message&)>;

// Creates a window bound to the calling thread's message queue. `name` only names it in
// diagnostics. Never fails.
WindowHandle createMessageWindow(WindowProcedure procedure, const std::string& name = {});

// Destroys a window: its timers, registrations and pending messages go with it. 0 or 1400.
uint32_t destroyMessageWindow(WindowHandle window);

bool isWindow(WindowHandle window);

// Posts a message to a window's queue from any thread. 0 or 1400 (no such window).
uint32_t postMessage(WindowHandle window, uint32_t id, uint64_t wParam, int64_t lParam,
                     std::shared_ptr<const DeviceBroadcast> device = {});

// Window timers, as SetTimer/KillTimer on a window: a timer is periodic; setting a timer id
// the window already has replaces it and restarts its period; the period is in logical
// milliseconds (the clock's time scale applies), at least 10. A due timer yields one
// kMessageTimer when the queue holds no posted message, however many periods were missed.
// Killing a timer also drops its pending tick. 0, 1400, or for killTimer 1402 (no such timer).
uint32_t setTimer(WindowHandle window, uint64_t timerId, uint32_t periodMs);
uint32_t killTimer(WindowHandle window, uint64_t timerId);

// The calling thread's message queue, pumped by the calling thread.

// Waits for the next message and removes it; false when it is kMessageQuit.
bool getMessage(Message& message);
// Removes the next message if one is ready; false when none is.
bool peekMessage(Message& message);
// Calls the procedure of the message's window (on the calling thread); 0 for thread messages
// and for windows destroyed meanwhile.
int64_t dispatchMessage(const Message& message);
// Posts kMessageQuit with the exit code to the calling thread's queue.
void postQuitMessage(int exitCode);
// Runs getMessage/dispatchMessage until kMessageQuit and answers its exit code.
int runMessageLoop();
// Dispatches messages for at most `ms` logical milliseconds or until `done()` holds (checked
// after each message and at the start). Answers whether `done()` held. For tools and tests.
bool pumpMessagesUntil(uint64_t ms, const std::function<bool()>& done);
// Dispatches every message that is ready now without waiting; answers how many.
int pumpPendingMessages();

// A queue that another thread may stop.
class ThreadQueueRef {
public:
    ThreadQueueRef() = default;
    // Posts kMessageQuit to the queue; false when the reference is empty.
    bool postQuit(int exitCode) const;
    explicit operator bool() const { return queue_ != nullptr; }

private:
    friend ThreadQueueRef currentThreadQueue();
    std::shared_ptr<void> queue_;
};
ThreadQueueRef currentThreadQueue();

// For a host loop that pumps the calling thread's queue itself (the wx application): `hook`
// runs on an arbitrary thread whenever a message is posted to this queue or one of its timers
// falls due; the host then calls pumpPendingMessages on the queue's own thread. An empty hook
// removes it. While a hook is set a helper thread sleeps until the next timer is due.
void setMessageWakeHook(std::function<void()> hook);

// Registrations for broadcasts (RegisterDeviceNotification and the power broadcasts).
using NotificationHandle = uint64_t;

// Device-interface notifications for one interface class (a GUID in braces; compared without
// regard to case), fed by the process's device tree (DeviceTree.h, the tree installed when the
// registration is made). A window with at least one such registration also receives port
// arrivals and removals and "device nodes changed", which Win32 broadcasts to every top-level
// window. 0, 1400, 87 (empty class) or kFail (the device tree cannot deliver notifications).
uint32_t registerDeviceNotification(WindowHandle window, const std::string& interfaceClass,
                                    NotificationHandle& registration);
uint32_t unregisterDeviceNotification(NotificationHandle registration); // 0 or 6

// Standby, resume and power status broadcasts (kMessagePowerBroadcast), fed by the power source
// of Power.h. 0 or 1400.
uint32_t registerPowerNotification(WindowHandle window, NotificationHandle& registration);
uint32_t unregisterPowerNotification(NotificationHandle registration); // 0 or 6

// Posts a power broadcast to every window registered for power notifications (the power
// sources call it; so can a test).
void publishPowerEvent(uint32_t powerEvent);

} // namespace platform
