#pragma once

#include <cstdint>

// The exclusive-mode protocol between the processes that use the library, over two named
// objects: the suspension event, signalled while a process holds or requests exclusive mode,
// and the exclusive mutex, held by the process whose library may use the card. The listener
// thread waits on them for this process.
namespace detection {

constexpr const char* kSuspensionEventName = "NW_Suspension_{3B1B5405-6DE5-4ba3-959E-A801E79800E0}";
constexpr const char* kExclusiveMutexName =
    "NW_Exclusive_Object_{9611FE5D-FEC3-4e6d-9C20-C4AA33E3CE43}";

enum ListenerDuty : uint32_t {
    LdIdle = 0,
    LdStop = 1,
    LdWaitForSuspend = 2,
    LdWaitForMutex = 3,
    LdWaitForSuspendAndMutex = 4,
};

// Starts the listener thread (waits up to 10,000 ms for it): 0, 258 or an error.
uint32_t StartListener();
// Stops it, waiting up to `waitMs`.
void StopListener(uint32_t waitMs);
void SetListenerDuty(uint32_t duty);

// 1 when another process holds this library suspended (sets the duty accordingly).
int UpdateExclusiveState();
uint32_t GrabExclusiveMutex(uint32_t timeoutMs);
uint32_t ReleaseExclusiveMutex();
bool IsSuspendedByOtherProcess();
bool IsSuspensionSignalled();
bool isExclusiveModeOn();

} // namespace detection
