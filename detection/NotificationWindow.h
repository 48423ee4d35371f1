#pragma once

#include "platform/MessageWindow.h"

#include <cstdint>

// The library's hidden notification window: its device registrations and its window procedure,
// which hands device-change, power, timer and internal messages to the state machine.
namespace detection {

// Creates the window on the calling thread with its six device-interface registrations and a
// power registration. 0 or the error of the failing step.
uint32_t InitializeNotificationWindow();
void ReleaseNotificationWindow();

// The detection event of an arrival, from the broadcast's device type and interface class.
uint32_t classifyArrival(const platform::DeviceBroadcast& device);

int64_t NotificationWindowProc(const platform::Message& message);

} // namespace detection
