#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace Kestrel {

// The workflow's detached worker threads (the device check and the update). They call into the
// libraries and the traits until their last dispatch, so the end of the program waits here
// until none is left before those go away.
class WorkerThreads {
public:
    WorkerThreads() = default;
    // A worker may still be signalling its end: it reaches no further than this object, which
    // waits for it. (The program's own end waits, bounded, before any destructor runs.)
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Runs `work` on a new detached thread; false when the thread cannot be created.
    bool start(std::function<void()> work);

    // Waits up to `timeoutMs` logical milliseconds until no worker runs; true when none does.
    bool waitUntilIdle(uint64_t timeoutMs);

    int running();

private:
    void finished();

    std::mutex mutex;
    std::condition_variable idle;
    int count = 0;
};

} // namespace Kestrel
