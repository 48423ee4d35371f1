#include "app/WorkerThreads.h"

#include "platform/Clock.h"

#include <new>
#include <system_error>
#include <thread>

namespace Kestrel {

WorkerThreads::~WorkerThreads() {
    std::unique_lock<std::mutex> lock(mutex);
    idle.wait(lock, [this] { return count == 0; });
}

bool WorkerThreads::start(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(mutex);
        ++count;
    }
    try {
        std::thread([this, work = std::move(work)] {
            work();
            finished();
        }).detach();
        return true;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
        // No memory for the thread's state: as much a failed start as a refused thread.
    }
    finished();
    return false;
}

void WorkerThreads::finished() {
    std::lock_guard<std::mutex> guard(mutex);
    // Notified under the lock: the waiter may destroy this object as soon as it sees 0.
    if (--count == 0)
        idle.notify_all();
}

bool WorkerThreads::waitUntilIdle(uint64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return platform::waitFor(idle, lock, timeoutMs, [this] { return count == 0; });
}

int WorkerThreads::running() {
    std::lock_guard<std::mutex> guard(mutex);
    return count;
}

} // namespace Kestrel
