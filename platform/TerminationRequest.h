#pragma once

#include <functional>

// Requests from outside to end the process: SIGTERM and SIGINT on Linux.
namespace platform {

// From now on a request to end the process calls `handler` with the request's number (the
// signal) on a thread of this facility, never in signal context. A further request while the
// first is being handled ends the process at once with `immediateExitCode`. Replaces an earlier
// handler.
void watchTerminationRequests(std::function<void(int)> handler, int immediateExitCode);

// Restores the default reaction to the requests and ends the watching thread.
void stopWatchingTerminationRequests();

// Ends the process at once with `code`: no destructors and no exit handlers run, so nothing a
// still running thread uses goes away under it.
[[noreturn]] void exitImmediately(int code);

} // namespace platform
