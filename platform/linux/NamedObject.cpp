#include "platform/NamedObject.h"

#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/SystemPaths.h"
#include "platform/linux/Win32FromErrno.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace platform {
namespace {

constexpr uint64_t kTableMagic = 0x4b53594e43544231ull; // "KSYNCTB1"
constexpr uint32_t kTableVersion = 1;
constexpr int kSlotCount = 128;
constexpr int kHolderCount = 16;
constexpr const char* kTableFile = "objects.table";
constexpr const char* kNamespaceVariable = "KESTREL_OBJECT_NAMESPACE";

enum class ObjectType : uint32_t { Free = 0, Mutex = 1, Event = 2 };

// One process's open handles to a slot.
struct Holder {
    int32_t pid;
    int32_t count;
};

struct Slot {
    ObjectType type;
    uint32_t manualReset;
    uint32_t signalled;
    uint32_t abandoned; // the owner died; the next acquirer learns it
    uint64_t generation;
    int32_t ownerPid; // mutex owner, 0 when free
    int32_t ownerTid;
    uint32_t recursion;
    char name[kMaximumObjectName + 1];
    Holder holders[kHolderCount];
    pthread_mutex_t lock; // the mutex object itself: robust, recursive, process-shared
};

struct Table {
    uint64_t magic;
    uint32_t version;
    uint32_t size;
    pthread_mutex_t guard; // guards every slot; robust, process-shared
    // Bumped on every change that may satisfy a waiter; waiters sleep on it as a futex.
    std::atomic<uint32_t> sequence;
    Slot slots[kSlotCount];
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word");

constexpr ErrnoMapping kSyncErrors[] = {
    {ENOMEM, kErrorNotEnoughMemory},
    {ENOSPC, kErrorDiskFull},
};

uint32_t errorFromErrno(int error) {
    return win32FromErrno(error, kSyncErrors, kErrorGenFailure);
}

int32_t currentTid() {
    return static_cast<int32_t>(syscall(SYS_gettid));
}

bool isZombie(int32_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content;
    if (!std::getline(stat, content))
        return false;
    const auto close = content.rfind(')');
    return close != std::string::npos && close + 2 < content.size() && content[close + 2] == 'Z';
}

bool processAlive(int32_t pid) {
    if (pid == getpid())
        return true;
    if (pid <= 0)
        return false;
    if (kill(pid, 0) != 0 && errno != EPERM)
        return false;
    return !isZombie(pid);
}

bool threadAlive(int32_t pid, int32_t tid) {
    if (syscall(SYS_tgkill, pid, tid, 0) != 0 && errno != EPERM)
        return false;
    return !isZombie(pid);
}

void futexWake(std::atomic<uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr,
            0);
}

// Sleeps while the word still holds `seen`, until the absolute monotonic `deadline` (none: no
// limit).
void futexWait(std::atomic<uint32_t>& word, uint32_t seen, const timespec* deadline) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET, seen, deadline,
            nullptr, FUTEX_BITSET_MATCH_ANY);
}

void initialiseRobustMutex(pthread_mutex_t* mutex, bool recursive) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes,
                              recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

// A namespace folder with its mapped table; one per folder and process, kept for the life of
// the process.
class Namespace {
public:
    explicit Namespace(Table* table) : table_(table) {}
    Table& table() { return *table_; }

    void lock() {
        if (pthread_mutex_lock(&table_->guard) == EOWNERDEAD)
            pthread_mutex_consistent(&table_->guard); // a process died inside; slots stay valid
    }
    void unlock() { pthread_mutex_unlock(&table_->guard); }
    void changed() {
        table_->sequence.fetch_add(1);
        futexWake(table_->sequence);
    }

    std::mutex watchersMutex;
    std::set<int> watchedSlots;

private:
    Table* table_;
};

class TableLock {
public:
    explicit TableLock(Namespace& space) : space_(space) { space_.lock(); }
    ~TableLock() { space_.unlock(); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    Namespace& space_;
};

struct NamespaceRegistry {
    std::mutex mutex;
    std::string overrideFolder;
    std::map<std::string, std::shared_ptr<Namespace>> open;
};

NamespaceRegistry& namespaces() {
    static NamespaceRegistry* registry = new NamespaceRegistry;
    return *registry;
}

std::string defaultNamespace() {
    if (auto folder = environmentValue(kNamespaceVariable); folder && !folder->empty())
        return *folder;
    if (auto root = simulatedMachineRoot())
        return *root + "/objects";
    // Any user can create a folder in /dev/shm first; root's objects live in root's runtime
    // folder, or nowhere when that folder is not root's own.
    if (geteuid() == 0) {
        const std::string runtime = runtimeFolder();
        return runtimeFolderProblem(runtime).empty() ? runtime + "/objects" : std::string();
    }
    struct stat info {};
    const std::string base =
        stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
    return base + "/kestrel-" + std::to_string(geteuid());
}

uint32_t mapTable(const std::string& folder, std::shared_ptr<Namespace>& space) {
    if (folder.empty())
        return SyncError::kAccessDenied;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return errorFromErrno(errno);
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0)
        return errorFromErrno(errno);
    // Another user's folder could hand us objects they control.
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid())
        return SyncError::kAccessDenied;
    const std::string path = folder + "/" + kTableFile;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errorFromErrno(errno);
    // The file lock serialises the first initialisation; the kernel drops it if we die.
    if (flock(fd, LOCK_EX) != 0) {
        const int error = errno;
        close(fd);
        return errorFromErrno(error);
    }
    uint32_t result = 0;
    Table* table = nullptr;
    struct stat fileInfo {};
    if (fstat(fd, &fileInfo) != 0)
        result = errorFromErrno(errno);
    else if (static_cast<size_t>(fileInfo.st_size) < sizeof(Table) &&
             ftruncate(fd, sizeof(Table)) != 0)
        result = errorFromErrno(errno);
    if (result == 0) {
        void* mapped = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED)
            result = errorFromErrno(errno);
        else
            table = static_cast<Table*>(mapped);
    }
    if (table != nullptr && (table->magic != kTableMagic || table->version != kTableVersion ||
                             table->size != sizeof(Table))) {
        std::memset(static_cast<void*>(table), 0, sizeof(Table));
        initialiseRobustMutex(&table->guard, false);
        table->version = kTableVersion;
        table->size = sizeof(Table);
        table->magic = kTableMagic;
    }
    flock(fd, LOCK_UN);
    close(fd); // the mapping stays
    if (result == 0)
        space = std::make_shared<Namespace>(table);
    return result;
}

uint32_t currentNamespace(std::shared_ptr<Namespace>& space) {
    NamespaceRegistry& registry = namespaces();
    std::lock_guard<std::mutex> guard(registry.mutex);
    const std::string folder =
        registry.overrideFolder.empty() ? defaultNamespace() : registry.overrideFolder;
    auto found = registry.open.find(folder);
    if (found != registry.open.end()) {
        space = found->second;
        return 0;
    }
    const uint32_t result = mapTable(folder, space);
    if (result == 0)
        registry.open.emplace(folder, space);
    return result;
}

// With the table locked: drops the holders of dead processes; true when the slot is still
// open somewhere.
bool slotAlive(Slot& slot) {
    bool alive = false;
    for (Holder& holder : slot.holders) {
        if (holder.count <= 0)
            continue;
        if (processAlive(holder.pid))
            alive = true;
        else
            holder = Holder{0, 0};
    }
    return alive;
}

// A slot can be reused once nobody has it open and its mutex is not held by a live thread
// (the owner's robust list still points into the slot).
bool slotReusable(Slot& slot) {
    if (slot.type == ObjectType::Free)
        return true;
    if (slotAlive(slot))
        return false;
    return slot.type != ObjectType::Mutex || slot.ownerPid == 0 ||
           !threadAlive(slot.ownerPid, slot.ownerTid);
}

bool addHolder(Slot& slot, int32_t pid) {
    Holder* freeEntry = nullptr;
    for (Holder& holder : slot.holders) {
        if (holder.count > 0 && holder.pid == pid) {
            ++holder.count;
            return true;
        }
        if (holder.count <= 0 && freeEntry == nullptr)
            freeEntry = &holder;
    }
    if (freeEntry == nullptr)
        return false;
    *freeEntry = Holder{pid, 1};
    return true;
}

void removeHolder(Slot& slot, int32_t pid) {
    for (Holder& holder : slot.holders)
        if (holder.count > 0 && holder.pid == pid) {
            if (--holder.count == 0)
                holder.pid = 0;
            return;
        }
}

} // namespace

class SyncObject {
public:
    SyncObject(std::shared_ptr<Namespace> space, int slot, uint64_t generation, ObjectType type)
        : space_(std::move(space)), slot_(slot), generation_(generation), type_(type) {}

    ~SyncObject() {
        if (slot_ < 0)
            return;
        TableLock lock(*space_);
        Slot& slot = space_->table().slots[slot_];
        if (slot.generation != generation_)
            return;
        removeHolder(slot, getpid());
        if (!slotAlive(slot) && slotReusable(slot)) {
            slot.type = ObjectType::Free;
            slot.name[0] = '\0';
        } else if (!slotAlive(slot)) {
            slot.name[0] = '\0'; // gone for lookups; reused once its owner thread has ended
        }
    }

    SyncObject(const SyncObject&) = delete;
    SyncObject& operator=(const SyncObject&) = delete;

    Namespace& space() { return *space_; }
    const std::shared_ptr<Namespace>& spacePointer() const { return space_; }
    ObjectType type() const { return type_; }
    bool isLocal() const { return slot_ < 0; }
    int slotIndex() const { return slot_; }
    uint64_t generation() const { return generation_; }

    // Local events keep their state here, guarded by the namespace's table lock, so that they
    // can be waited for together with named objects.
    bool localManualReset = false;
    bool localSignalled = false;

    // With the table locked: the slot of a named object, or null when it was recycled.
    Slot* slot() {
        if (slot_ < 0)
            return nullptr;
        Slot& slot = space_->table().slots[slot_];
        return slot.generation == generation_ ? &slot : nullptr;
    }

private:
    std::shared_ptr<Namespace> space_;
    int slot_;
    uint64_t generation_;
    ObjectType type_;
};

namespace {

// Waits for a mutex held elsewhere on its own thread, so that a waiter learns when the owner
// dies: the robust mutex wakes this thread, which marks the mutex abandoned, lets it go again
// and wakes the waiters. One watcher per mutex and process; it holds a handle meanwhile.
void watchMutex(const SyncHandle& mutex) {
    Namespace& space = mutex->space();
    {
        std::lock_guard<std::mutex> guard(space.watchersMutex);
        if (!space.watchedSlots.insert(mutex->slotIndex()).second)
            return;
    }
    Slot* slot = mutex->slot();
    if (slot == nullptr || !addHolder(*slot, getpid())) {
        std::lock_guard<std::mutex> guard(space.watchersMutex);
        space.watchedSlots.erase(mutex->slotIndex());
        return;
    }
    auto keep = std::make_shared<SyncObject>(mutex->spacePointer(), mutex->slotIndex(),
                                             mutex->generation(), ObjectType::Mutex);
    std::thread([keep] {
        Namespace& space = keep->space();
        Slot& slot = space.table().slots[keep->slotIndex()];
        const int result = pthread_mutex_lock(&slot.lock);
        space.lock();
        if (result == EOWNERDEAD) {
            pthread_mutex_consistent(&slot.lock);
            slot.abandoned = 1;
            slot.ownerPid = 0;
            slot.ownerTid = 0;
            slot.recursion = 0;
        }
        if (result == 0 || result == EOWNERDEAD)
            pthread_mutex_unlock(&slot.lock);
        {
            // Before the wake-up, so that a waiter that finds the mutex busy again starts a
            // new watcher.
            std::lock_guard<std::mutex> guard(space.watchersMutex);
            space.watchedSlots.erase(keep->slotIndex());
        }
        space.changed();
        space.unlock();
    }).detach();
}

enum class Take { No, Yes, Abandoned };

// With the table locked: takes the object when it is signalled.
Take tryTake(const SyncHandle& object) {
    if (object->isLocal()) {
        if (!object->localSignalled)
            return Take::No;
        if (!object->localManualReset)
            object->localSignalled = false;
        return Take::Yes;
    }
    Slot* slot = object->slot();
    if (slot == nullptr)
        return Take::No;
    if (slot->type == ObjectType::Event) {
        if (slot->signalled == 0)
            return Take::No;
        if (slot->manualReset == 0)
            slot->signalled = 0;
        return Take::Yes;
    }
    const int result = pthread_mutex_trylock(&slot->lock);
    const int32_t pid = getpid();
    const int32_t tid = currentTid();
    if (result == 0) {
        if (slot->ownerPid == pid && slot->ownerTid == tid) {
            ++slot->recursion;
            return Take::Yes;
        }
        slot->ownerPid = pid;
        slot->ownerTid = tid;
        slot->recursion = 1;
        const bool abandoned = slot->abandoned != 0;
        slot->abandoned = 0;
        return abandoned ? Take::Abandoned : Take::Yes;
    }
    if (result == EOWNERDEAD) {
        pthread_mutex_consistent(&slot->lock);
        slot->ownerPid = pid;
        slot->ownerTid = tid;
        slot->recursion = 1;
        slot->abandoned = 0;
        return Take::Abandoned;
    }
    if (result == EBUSY)
        watchMutex(object);
    return Take::No;
}

// Opens the live object of that name when there is one; true when `result` holds the answer.
bool openExisting(const std::shared_ptr<Namespace>& space, Table& table, const std::string& name,
                  ObjectType type, int32_t pid, SyncOpenResult& result) {
    for (int index = 0; index < kSlotCount; ++index) {
        Slot& slot = table.slots[index];
        if (slot.type == ObjectType::Free || name != slot.name)
            continue;
        if (!slotAlive(slot))
            continue; // left by processes that ended: gone
        if (slot.type != type || !addHolder(slot, pid)) {
            result.error = slot.type != type ? SyncError::kInvalidHandle : SyncError::kNoResources;
            return true;
        }
        result.handle = std::make_shared<SyncObject>(space, index, slot.generation, type);
        result.alreadyExisted = true;
        return true;
    }
    return false;
}

// Makes a slot a new object held by this process alone, a mutex owned by this thread when
// `initialOwner` asks; returns the slot's new generation.
uint64_t initialiseSlot(Slot& slot, const std::string& name, ObjectType type, bool manualReset,
                        bool initialState, bool initialOwner, int32_t pid) {
    const uint64_t generation = slot.generation + 1;
    std::memset(static_cast<void*>(&slot), 0, sizeof(Slot));
    slot.type = type;
    slot.generation = generation;
    slot.manualReset = manualReset ? 1 : 0;
    slot.signalled = initialState ? 1 : 0;
    std::memcpy(slot.name, name.c_str(), name.size() + 1);
    slot.holders[0] = Holder{pid, 1};
    if (type == ObjectType::Mutex) {
        initialiseRobustMutex(&slot.lock, true);
        if (initialOwner && pthread_mutex_trylock(&slot.lock) == 0) {
            slot.ownerPid = pid;
            slot.ownerTid = currentTid();
            slot.recursion = 1;
        }
    }
    return generation;
}

SyncOpenResult createOrOpen(const std::string& name, ObjectType type, bool create, bool manualReset,
                            bool initialState, bool initialOwner) {
    SyncOpenResult result;
    if (name.size() > kMaximumObjectName) {
        result.error = SyncError::kNameTooLong;
        return result;
    }
    if (name.empty()) {
        result.error = SyncError::kInvalidParameter;
        return result;
    }
    std::shared_ptr<Namespace> space;
    result.error = currentNamespace(space);
    if (result.error != 0)
        return result;
    TableLock lock(*space);
    Table& table = space->table();
    const int32_t pid = getpid();
    if (openExisting(space, table, name, type, pid, result))
        return result;
    if (!create) {
        result.error = SyncError::kNotFound;
        return result;
    }
    for (int index = 0; index < kSlotCount; ++index) {
        Slot& slot = table.slots[index];
        if (!slotReusable(slot))
            continue;
        const uint64_t generation =
            initialiseSlot(slot, name, type, manualReset, initialState, initialOwner, pid);
        result.handle = std::make_shared<SyncObject>(space, index, generation, type);
        return result;
    }
    result.error = SyncError::kNoResources;
    return result;
}

} // namespace

SyncOpenResult createNamedMutex(const std::string& name, bool initialOwner) {
    return createOrOpen(name, ObjectType::Mutex, true, false, false, initialOwner);
}

SyncOpenResult openNamedMutex(const std::string& name) {
    return createOrOpen(name, ObjectType::Mutex, false, false, false, false);
}

SyncOpenResult createNamedEvent(const std::string& name, bool manualReset, bool initialState) {
    return createOrOpen(name, ObjectType::Event, true, manualReset, initialState, false);
}

SyncOpenResult openNamedEvent(const std::string& name) {
    return createOrOpen(name, ObjectType::Event, false, false, false, false);
}

SyncOpenResult createLocalEvent(bool manualReset, bool initialState) {
    SyncOpenResult result;
    std::shared_ptr<Namespace> space;
    result.error = currentNamespace(space);
    if (result.error != 0)
        return result;
    auto event = std::make_shared<SyncObject>(space, -1, 0, ObjectType::Event);
    event->localManualReset = manualReset;
    event->localSignalled = initialState;
    result.handle = std::move(event);
    return result;
}

namespace {

uint32_t changeEvent(const SyncHandle& event, bool signalled) {
    if (!event || event->type() != ObjectType::Event)
        return SyncError::kInvalidHandle;
    TableLock lock(event->space());
    if (event->isLocal()) {
        event->localSignalled = signalled;
    } else {
        Slot* slot = event->slot();
        if (slot == nullptr)
            return SyncError::kInvalidHandle;
        slot->signalled = signalled ? 1 : 0;
    }
    if (signalled)
        event->space().changed();
    return 0;
}

} // namespace

uint32_t setEvent(const SyncHandle& event) {
    return changeEvent(event, true);
}

uint32_t resetEvent(const SyncHandle& event) {
    return changeEvent(event, false);
}

bool isEventSignalled(const SyncHandle& event) {
    if (!event || event->type() != ObjectType::Event)
        return false;
    TableLock lock(event->space());
    if (event->isLocal())
        return event->localSignalled;
    Slot* slot = event->slot();
    return slot != nullptr && slot->signalled != 0;
}

uint32_t releaseMutex(const SyncHandle& mutex) {
    if (!mutex || mutex->type() != ObjectType::Mutex)
        return SyncError::kInvalidHandle;
    TableLock lock(mutex->space());
    Slot* slot = mutex->slot();
    if (slot == nullptr)
        return SyncError::kInvalidHandle;
    if (slot->ownerPid != getpid() || slot->ownerTid != currentTid() || slot->recursion == 0)
        return SyncError::kNotOwner;
    if (pthread_mutex_unlock(&slot->lock) != 0)
        return SyncError::kNotOwner;
    if (--slot->recursion == 0) {
        slot->ownerPid = 0;
        slot->ownerTid = 0;
        mutex->space().changed();
    }
    return 0;
}

uint32_t waitForAnyObject(const std::vector<SyncHandle>& objects, uint32_t timeoutMs,
                          uint32_t* error) {
    auto fail = [&](uint32_t code) {
        if (error != nullptr)
            *error = code;
        return kWaitFailed;
    };
    if (objects.empty() || objects.size() > kMaximumWaitObjects)
        return fail(SyncError::kInvalidParameter);
    for (const auto& object : objects) {
        if (!object)
            return fail(SyncError::kInvalidHandle);
        if (&object->space() != &objects.front()->space())
            return fail(SyncError::kInvalidParameter);
    }
    if (error != nullptr)
        *error = 0;
    Namespace& space = objects.front()->space();
    timespec deadline{};
    if (timeoutMs != kInfiniteMs) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        const auto wait = realDuration(timeoutMs).count();
        const int64_t total = static_cast<int64_t>(deadline.tv_nsec) + wait % 1000000000;
        deadline.tv_sec += static_cast<time_t>(wait / 1000000000 + total / 1000000000);
        deadline.tv_nsec = static_cast<long>(total % 1000000000);
    }
    for (;;) {
        space.lock();
        for (size_t index = 0; index < objects.size(); ++index) {
            const Take taken = tryTake(objects[index]);
            if (taken != Take::No) {
                space.unlock();
                return (taken == Take::Abandoned ? kWaitAbandoned0 : kWaitObject0) +
                       static_cast<uint32_t>(index);
            }
        }
        const uint32_t seen = space.table().sequence.load();
        space.unlock();
        if (timeoutMs != kInfiniteMs) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > deadline.tv_sec ||
                (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
                return kWaitTimeout;
        }
        futexWait(space.table().sequence, seen, timeoutMs == kInfiniteMs ? nullptr : &deadline);
    }
}

uint32_t waitForObject(const SyncHandle& object, uint32_t timeoutMs, uint32_t* error) {
    return waitForAnyObject(std::vector<SyncHandle>{object}, timeoutMs, error);
}

void setNamedObjectNamespace(const std::string& folder) {
    NamespaceRegistry& registry = namespaces();
    std::lock_guard<std::mutex> guard(registry.mutex);
    registry.overrideFolder = folder;
}

std::string namedObjectNamespace() {
    NamespaceRegistry& registry = namespaces();
    std::lock_guard<std::mutex> guard(registry.mutex);
    return registry.overrideFolder.empty() ? defaultNamespace() : registry.overrideFolder;
}

} // namespace platform
