#include "platform/TerminationRequest.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <cerrno>
#include <exception>
#include <mutex>
#include <thread>

namespace platform {
namespace {

constexpr int kWatchedSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
// Written into the pipe by stopWatchingTerminationRequests; no signal has number 0.
constexpr unsigned char kStopByte = 0;
// Written into the pipe by a second request; above every signal number.
constexpr unsigned char kImmediateEndByte = 255;

// A signal handler can reach nothing but static state: the pipe to the watching thread, the
// count of requests and the code of an immediate end.
int requestPipe[2] = {-1, -1};
std::atomic<int> requestCount{0};
std::atomic<int> immediateCode{1};

struct Watcher {
    std::mutex mutex;
    std::thread thread;
    std::function<void(int)> handler;
    std::function<void()> lastWords;
};

Watcher& watcher() {
    static Watcher* const instance = new Watcher; // never destroyed: the handler may outlive main
    return *instance;
}

void onSignal(int signal) {
    const int earlier = requestCount.fetch_add(1);
    if (earlier > 1)
        _exit(immediateCode.load());
    const int saved = errno;
    const unsigned char byte =
        earlier == 0 ? static_cast<unsigned char>(signal) : kImmediateEndByte;
    if (write(requestPipe[1], &byte, 1) != 1)
        _exit(immediateCode.load());
    errno = saved;
}

// Runs the last words on a thread of their own and ends the process once they are done, or
// when their time is up.
[[noreturn]] void endSoon() {
    std::function<void()> lastWords;
    {
        std::lock_guard<std::mutex> guard(watcher().mutex);
        lastWords = watcher().lastWords;
    }
    if (lastWords) {
        struct Done {
            std::mutex mutex;
            std::condition_variable condition;
            bool done = false;
        };
        auto done = std::make_shared<Done>();
        try {
            std::thread([lastWords, done] {
                lastWords();
                std::lock_guard<std::mutex> guard(done->mutex);
                done->done = true;
                done->condition.notify_all();
            }).detach();
            std::unique_lock<std::mutex> lock(done->mutex);
            done->condition.wait_for(lock, std::chrono::milliseconds(kLastWordsMs),
                                     [&] { return done->done; });
        } catch (const std::exception&) {
            // Without a thread there are no last words.
        }
    }
    _exit(immediateCode.load());
}

void setReaction(void (*reaction)(int)) {
    struct sigaction action = {};
    action.sa_handler = reaction;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kWatchedSignals)
        sigaction(signal, &action, nullptr);
}

void watch(int readEnd) {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t got = read(readEnd, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == kStopByte)
            return;
        if (byte == kImmediateEndByte)
            endSoon();
        std::function<void(int)> handler;
        {
            std::lock_guard<std::mutex> guard(watcher().mutex);
            handler = watcher().handler;
        }
        if (handler)
            handler(byte);
    }
}

} // namespace

void watchTerminationRequests(std::function<void(int)> handler, int immediateExitCode) {
    Watcher& state = watcher();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.handler = std::move(handler);
    immediateCode.store(immediateExitCode);
    if (state.thread.joinable())
        return;
    if (requestPipe[0] < 0 && pipe2(requestPipe, O_CLOEXEC) != 0)
        return;
    try {
        state.thread = std::thread(watch, requestPipe[0]);
    } catch (const std::exception&) {
        return; // without the thread the default reaction stays
    }
    requestCount.store(0);
    setReaction(onSignal);
}

void setLastWords(std::function<void()> lastWords) {
    std::lock_guard<std::mutex> guard(watcher().mutex);
    watcher().lastWords = std::move(lastWords);
}

void stopWatchingTerminationRequests() {
    Watcher& state = watcher();
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        // From here on every request ends the process at once; the pipe stays open, so a late
        // handler never writes into a descriptor that has been handed to something else.
        requestCount.store(2);
        thread = std::move(state.thread);
        state.handler = nullptr;
    }
    if (!thread.joinable())
        return;
    [[maybe_unused]] const ssize_t written = write(requestPipe[1], &kStopByte, 1);
    thread.join();
}

void exitImmediately(int code) {
    _exit(code);
}

} // namespace platform
