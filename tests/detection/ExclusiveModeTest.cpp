#include "NwLibraryTestSupport.h"

#include "detection/CurrentCard.h"
#include "detection/ExclusiveMode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace {

using namespace detectiontest;
using Clock = std::chrono::steady_clock;

std::string nwmonPath() {
    if (const char* build = std::getenv("KESTREL_BUILD_DIR"))
        return std::string(build) + "/detection/nwmon/kestrel-nwmon";
    // Run by hand: the test program lies in BUILD/tests/detection.
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, length > 0 ? static_cast<size_t>(length) : 0);
    return path.substr(0, path.rfind("/tests/")) + "/detection/nwmon/kestrel-nwmon";
}

// A kestrel-nwmon process on the test's namespace, driven through its standard input and
// read through its standard output.
class Nwmon {
public:
    Nwmon(const std::string& objects, std::vector<std::string> arguments = {}) {
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        posix_spawn_file_actions_adddup2(&actions, output[1], 2);
        const std::string program = nwmonPath();
        std::vector<std::string> words{program, "--namespace", objects};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment{"KESTREL_TIME_SCALE=0.01"};
        for (char** variable = environ; *variable != nullptr; ++variable)
            if (std::strncmp(*variable, "KESTREL_TIME_SCALE=", 19) != 0 &&
                std::strncmp(*variable, "KESTREL_SIM_ROOT=", 17) != 0)
                environment.push_back(*variable);
        std::vector<char*> envp;
        for (auto& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        input_ = input[1];
        output_ = output[0];
        reader_ = std::thread([this] { read(); });
    }

    ~Nwmon() {
        if (pid_ > 0)
            stop(SIGKILL);
        close(input_);
        reader_.join();
        close(output_);
    }

    bool started() const { return pid_ > 0; }

    void send(const std::string& command) {
        const std::string line = command + "\n";
        if (write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            ADD_FAILURE() << "cannot write to kestrel-nwmon";
    }

    // Waits up to `realMs` for a line containing `part`, searching from line `from` on;
    // answers the index after the line, or 0 when none came.
    size_t waitFor(const std::string& part, size_t from = 0, int realMs = 20000) {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t found = 0;
        changed_.wait_for(lock, std::chrono::milliseconds(realMs), [&] {
            for (size_t i = from; i < lines_.size(); ++i)
                if (lines_[i].find(part) != std::string::npos) {
                    found = i + 1;
                    return true;
                }
            return closed_;
        });
        return found;
    }

    size_t lineCount() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_.size();
    }

    std::string dump() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::string text;
        for (const auto& line : lines_)
            text += line + "\n";
        return text;
    }

    // Sends a signal and waits for the end; answers the wait status.
    int stop(int signal) {
        if (pid_ <= 0)
            return -1;
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    void read() {
        std::string pending;
        char buffer[4096];
        ssize_t length;
        while ((length = ::read(output_, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<size_t>(length));
            size_t end;
            std::lock_guard<std::mutex> guard(mutex_);
            while ((end = pending.find('\n')) != std::string::npos) {
                lines_.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool closed_ = false;
};

class ExclusiveMode : public NwSession {
protected:
    std::string objects() const { return folder + "/objects"; }
};

TEST_F(ExclusiveMode, SecondProcessListensAndTakesOverWhenTheFirstEnds) {
    Nwmon first(objects());
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.waitFor("Nw: Exclusive mutex has been grabbed")) << first.dump();
    ASSERT_TRUE(first.waitFor("ready"));
    Nwmon second(objects());
    ASSERT_TRUE(second.waitFor("Nw: Exclusive mutex could not be grabbed, 0x102")) << second.dump();
    ASSERT_TRUE(second.waitFor("Nw: New listener thread duty is 'WaitForSuspendAndMutex'"));
    ASSERT_TRUE(second.waitFor("ready"));
    second.send("inuse");
    ASSERT_TRUE(second.waitFor("inuse: 1"));

    const size_t mark = second.lineCount();
    first.send("quit");
    ASSERT_TRUE(first.waitFor("terminate: 0"));
    ASSERT_TRUE(second.waitFor(
        "Nw: Got access to the exclusive mutex during normal mode, grabbing it...", mark))
        << second.dump();
    ASSERT_TRUE(second.waitFor("Nw: New listener thread duty is 'WaitForSuspend'", mark));
    second.send("inuse");
    EXPECT_TRUE(second.waitFor("inuse: 0", mark)) << second.dump();
}

TEST_F(ExclusiveMode, EnterWhileAnotherProcessIsExclusiveAnswers5023AndLeavingResumesIt) {
    Nwmon holder(objects(), {"--exclusive", "2048"});
    ASSERT_TRUE(holder.waitFor("exclusive: 0")) << holder.dump();
    ASSERT_TRUE(holder.waitFor("ready"));
    Nwmon other(objects());
    ASSERT_TRUE(other.waitFor("notification reason=1 state=suspended")) << other.dump();
    ASSERT_TRUE(other.waitFor("confirm: 0"));
    ASSERT_TRUE(other.waitFor("Nw: New listener thread duty is 'WaitForMutex'"));
    other.send("exclusive 2048");
    ASSERT_TRUE(other.waitFor("exclusive: 5023")) << other.dump();
    other.send("info");
    EXPECT_TRUE(other.waitFor("info state=suspended"));

    const size_t mark = other.lineCount();
    holder.send("leave");
    ASSERT_TRUE(holder.waitFor("leave: 0"));
    // The holder takes the mutex back at once, so the other process wakes because the
    // suspension it noted is gone, and goes back to competing for the mutex.
    ASSERT_TRUE(other.waitFor("waking up from suspended mode", mark)) << other.dump();
    ASSERT_TRUE(other.waitFor("Nw: Checking actual state of the system after suspension...", mark));
    EXPECT_TRUE(other.waitFor("Nw: New listener thread duty is 'WaitForSuspendAndMutex'", mark));
    EXPECT_TRUE(other.waitFor("notification reason=5 card=none", mark));
}

TEST_F(ExclusiveMode, ClientThatNeverConfirmsMakesEnterTimeOutWithTheEventReset) {
    Nwmon listener(objects(), {"--no-confirm"});
    ASSERT_TRUE(listener.waitFor("Nw: New listener thread duty is 'WaitForSuspend'"))
        << listener.dump();
    ASSERT_TRUE(listener.waitFor("ready"));
    const uint64_t start = platform::tickMs();
    EXPECT_EQ(NwEnterExclusiveMode(2048), uint32_t(NwErrorTimeout));
    const uint64_t elapsed = platform::tickMs() - start;
    EXPECT_GE(elapsed, 2200u);
    EXPECT_LT(elapsed, 100000u);
    EXPECT_TRUE(listener.waitFor("notification reason=4 state=suspended")) << listener.dump();
    EXPECT_FALSE(detection::IsSuspensionSignalled());
    EXPECT_FALSE(detection::isExclusiveModeOn());
}

TEST_F(ExclusiveMode, HolderKilledWithSigkillLeavesAnAbandonedMutexThatTheListenerRecovers) {
    Nwmon holder(objects(), {"--exclusive", "2048"});
    ASSERT_TRUE(holder.waitFor("ready")) << holder.dump();
    Nwmon other(objects());
    ASSERT_TRUE(other.waitFor("confirm: 0")) << other.dump();
    ASSERT_TRUE(other.waitFor("Nw: New listener thread duty is 'WaitForMutex'"));
    const size_t mark = other.lineCount();
    const auto killed = Clock::now();
    holder.stop(SIGKILL);
    ASSERT_TRUE(
        other.waitFor("Nw: Got access to the exclusive mutex, waking up from suspended mode", mark))
        << other.dump();
    ASSERT_TRUE(other.waitFor("Nw: Exclusive mutex has been grabbed", mark)) << other.dump();
    // A logical second lasts 10 ms in the child; a real second is ample.
    EXPECT_LT(Clock::now() - killed, std::chrono::seconds(1));
    EXPECT_TRUE(other.waitFor("notification reason=5 card=none", mark));
}

TEST_F(ExclusiveMode, EventLeftSignalledByAKilledHolderIsResetByTheNextProcess) {
    // This process keeps the event open, so the signal outlives the killed holder.
    Nwmon holder(objects(), {"--exclusive", "2048"});
    ASSERT_TRUE(holder.waitFor("ready")) << holder.dump();
    auto event = platform::openNamedEvent(detection::kSuspensionEventName);
    ASSERT_EQ(event.error, 0u);
    ASSERT_TRUE(platform::isEventSignalled(event.handle));
    holder.stop(SIGKILL);
    EXPECT_TRUE(platform::isEventSignalled(event.handle));

    const auto started = Clock::now();
    Nwmon next(objects());
    ASSERT_TRUE(
        next.waitFor("Nw: Suspended event is signalled but the exclusive mutex is available"))
        << next.dump();
    ASSERT_TRUE(
        next.waitFor("Nw: Possibly the event stayed signalled due to a crash, resetting it..."));
    ASSERT_TRUE(next.waitFor("Nw: Exclusive mutex has been grabbed")) << next.dump();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(platform::isEventSignalled(event.handle));
}

TEST_F(ExclusiveMode, SuspensionRequestInExclusiveModeIsIgnored) {
    ASSERT_EQ(NwEnterExclusiveMode(2048), 0u);
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    registerCallback();
    EXPECT_EQ(NwIsInUseByOtherProcess(), 0u);
    // The listener stays idle in exclusive mode; make it listen while the request is signalled.
    detection::SetListenerDuty(detection::LdWaitForSuspend);
    ASSERT_TRUE(pumpUntil([&] {
        return log.has("Nw: Suspension request has arrived but ignored in exclusive mode");
    })) << log.dump();
    pumpFor(500);
    NwCardInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(NwGetCardInfo(&info), uint32_t(NwErrorNoCard)); // not suspended
    EXPECT_EQ(detection::currentCard().info.state, uint32_t(CardStateStopped));
}

TEST_F(ExclusiveMode, LibraryUsesExclusiveModeBeforeInitialisationAndAfterTermination) {
    EXPECT_EQ(NwIsInUseByOtherProcess(), 0u);
    EXPECT_EQ(NwLeaveExclusiveMode(), 0u);
    ASSERT_EQ(NwEnterExclusiveMode(2048), 0u);
    EXPECT_EQ(NwEnterExclusiveMode(2048), 0u);
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    EXPECT_TRUE(pumpUntil([&] { return log.has("Nw: New listener thread duty is 'Idle'"); }));
    EXPECT_FALSE(log.mentions("Exclusive mutex has been grabbed"));
    const uint64_t start = platform::tickMs();
    ASSERT_EQ(NwTerminate(), 0u);
    EXPECT_LT(platform::tickMs() - start, 1000u);
    EXPECT_TRUE(log.has("Nw: Listener thread stopping"));
    EXPECT_TRUE(detection::isExclusiveModeOn());
    ASSERT_EQ(NwLeaveExclusiveMode(), 0u);
    EXPECT_FALSE(detection::isExclusiveModeOn());
    EXPECT_FALSE(detection::IsSuspensionSignalled());
}

TEST_F(ExclusiveMode, TerminateEndsAListenerWaitingForTheSuspensionEvent) {
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    ASSERT_TRUE(log.has("Nw: New listener thread duty is 'WaitForSuspend'") || pumpUntil([&] {
                    return log.has("Nw: New listener thread duty is 'WaitForSuspend'");
                }));
    const uint64_t start = platform::tickMs();
    ASSERT_EQ(NwTerminate(), 0u);
    EXPECT_LT(platform::tickMs() - start, 1000u);
    EXPECT_TRUE(log.has("Nw: Listener thread stopping"));
    EXPECT_FALSE(log.has("Nw: Listener thread termination timed out"));
    EXPECT_EQ(NwTerminate(), 0u);
    EXPECT_EQ(log.count("Nw: Notification window released"), 1);
}

} // namespace
