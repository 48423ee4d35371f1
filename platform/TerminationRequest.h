#pragma once

#include <functional>

// Requests from outside to end the process: SIGTERM, SIGINT, SIGHUP (the terminal or the ssh
// connection went away) and SIGQUIT on Linux.
namespace platform {

// From now on a request to end the process calls `handler` with the request's number (the
// signal) on a thread of this facility, never in signal context. A further request while the
// first is being handled ends the process soon with `immediateExitCode`: first the last words
// (below) run for at most kLastWordsMs, then the process ends whether they are done or not; a
// third request ends it at once. Replaces an earlier handler.
void watchTerminationRequests(std::function<void(int)> handler, int immediateExitCode);

// How long the last words of an immediate end may take.
constexpr unsigned kLastWordsMs = 1500;

// What must still happen before an immediate end (start a stopped service again, write the
// result); runs on a thread of this facility. Empty: nothing.
void setLastWords(std::function<void()> lastWords);

// Restores the default reaction to the requests and ends the watching thread.
void stopWatchingTerminationRequests();

// Ends the process at once with `code`: no destructors and no exit handlers run, so nothing a
// still running thread uses goes away under it.
[[noreturn]] void exitImmediately(int code);

} // namespace platform
