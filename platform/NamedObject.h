#pragma once

#include "platform/Win32Error.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Named kernel objects shared between processes, with Win32 semantics: a mutex (owned by a
// thread, recursive, abandoned when its owner ends without releasing it) and an event (manual or
// auto reset), created or opened by name with "already existed" reported, and waits for any of
// several objects, named or local, with a time-out. An object lives while a handle to it is
// open in a live process; the handles of a process that dies are closed with it.
//
// The objects of one namespace are slots of one shared-memory table guarded by a robust
// process-shared mutex; waiters sleep on a futex of the table, so nobody polls.
namespace platform {

// Wait results, as WaitForMultipleObjects answers them.
constexpr uint32_t kWaitObject0 = 0x0;
constexpr uint32_t kWaitAbandoned0 = 0x80;
constexpr uint32_t kWaitTimeout = 0x102; // 258
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kMaximumWaitObjects = 64;

// Win32 error numbers of this facility.
struct SyncError {
    static constexpr uint32_t kNotFound = kErrorFileNotFound; // open: no object of that name
    static constexpr uint32_t kAccessDenied =
        kErrorAccessDenied;                       // the namespace folder is someone else's
    static constexpr uint32_t kInvalidHandle = 6; // empty handle, or a name of another type
    static constexpr uint32_t kInvalidParameter = 87;
    static constexpr uint32_t kNameTooLong = 206;  // longer than kMaximumObjectName
    static constexpr uint32_t kNotOwner = 288;     // releasing a mutex the thread does not own
    static constexpr uint32_t kNoResources = 1450; // the namespace's table is full
};

constexpr size_t kMaximumObjectName = 255;

class SyncObject;
// One open handle; the handle is closed when the last copy goes.
using SyncHandle = std::shared_ptr<SyncObject>;

struct SyncOpenResult {
    SyncHandle handle; // empty on failure
    uint32_t error = 0;
    bool alreadyExisted = false; // create: the object existed before this call
};

// CreateMutex: with `initialOwner` the calling thread owns a mutex that this call created; an
// existing mutex is opened without ownership.
SyncOpenResult createNamedMutex(const std::string& name, bool initialOwner);
SyncOpenResult openNamedMutex(const std::string& name);
// CreateEvent: the reset mode and initial state apply only when this call creates the event.
SyncOpenResult createNamedEvent(const std::string& name, bool manualReset, bool initialState);
SyncOpenResult openNamedEvent(const std::string& name);
// An unnamed event of this process, which can be waited for together with named objects.
SyncOpenResult createLocalEvent(bool manualReset, bool initialState);

uint32_t setEvent(const SyncHandle& event);
uint32_t resetEvent(const SyncHandle& event);
// Whether an event is signalled, without consuming an auto-reset signal.
bool isEventSignalled(const SyncHandle& event);
// 0, or 288 when the calling thread does not own the mutex.
uint32_t releaseMutex(const SyncHandle& mutex);

// Waits until one of the objects is signalled (an event set, a mutex free or owned by this
// thread already), takes it (auto-reset events are reset, a mutex becomes owned) and answers
// kWaitObject0 + index of the first such object, or kWaitAbandoned0 + index for a mutex whose
// owner ended without releasing it, which is now owned by the caller. kWaitTimeout after
// `timeoutMs` logical milliseconds (kInfiniteMs: never); kWaitFailed with `error` set for bad
// arguments (87: none, too many, or objects of different namespaces; 6: an empty handle).
uint32_t waitForAnyObject(const std::vector<SyncHandle>& objects, uint32_t timeoutMs,
                          uint32_t* error = nullptr);
uint32_t waitForObject(const SyncHandle& object, uint32_t timeoutMs, uint32_t* error = nullptr);

// The namespace: a folder holding the table. Default, in this order: KESTREL_OBJECT_NAMESPACE,
// DIR/objects on a simulated machine, for root the runtime folder's objects/ (any user could
// create /dev/shm/kestrel-0 first; none when the runtime folder is not root's own: every open
// then gives 5), else /dev/shm/kestrel-UID. Objects opened later use the
// folder set here (tests); handles already open keep theirs. An empty folder restores the
// default.
void setNamedObjectNamespace(const std::string& folder);
std::string namedObjectNamespace();

} // namespace platform
