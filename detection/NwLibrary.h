#pragma once

#include "detection/Nw.h"
#include "platform/MessageWindow.h"

#include <atomic>
#include <cstdint>
#include <thread>

// The process-wide library instance behind the Nw functions, and the delivery of notifications.
namespace detection {

// Internal messages of the library's notification window.
constexpr uint32_t kMessageWakeFromSuspension = 0x8000;
constexpr uint32_t kMessageExclusiveMutexFree = 0x8001;
constexpr uint32_t kMessageDeliverCallback = 0x8003;
constexpr uint32_t kMessageMbInterfaceArrival = 0x8004;
constexpr uint32_t kMessageMbInterfaceRemoval = 0x8005;
// The listener's suspension reaction, carried out on the window's thread so that the
// current-card record is only ever touched there.
constexpr uint32_t kMessageSuspensionRequest = 0x8006;

struct LibraryState {
    std::atomic<bool> initialised{false};
    std::thread::id notificationThread;
    // The library's own notification window; posted to from other threads.
    std::atomic<platform::WindowHandle> window{platform::kNoWindow};
    platform::WindowHandle clientWindow = platform::kNoWindow;
    uint32_t clientMessage = 0;
    NwNotificationCallback callback = nullptr;
};

LibraryState& library();

enum class NotifyChannel { Callback, Window, Both };

// Sends a notification with `reason`: the callback directly on the notification thread, else
// through the library's window; the window by posting the registered message. 0, 21 without a
// library window for a callback from another thread, 6 for a dead client window, or the
// posting error.
uint32_t Notify(uint32_t reason, NotifyChannel channel);

} // namespace detection
