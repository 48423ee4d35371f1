#include "tests/support/NwLibraryTestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace detectiontest;

constexpr const char* kWaitForSuspendLine = "Nw: New listener thread duty is 'WaitForSuspend'";
constexpr const char* kStoppingLine = "Nw: Listener thread stopping";
constexpr const char* kStopTimedOutLine = "Nw: Listener thread termination timed out";
constexpr auto kRealWait = std::chrono::seconds(10);
constexpr uid_t kUnprivilegedUser = 65534;
constexpr uint32_t kErrorFail = 0x80004005;
constexpr uint32_t kErrorNotReady = 21;

// A log sink that holds the first listener thread that announces the WaitForSuspend duty, as a
// client's slow logging would, until the test lets it go.
class StallingLogSink {
public:
    void install() {
        NwSetLogCallback(&StallingLogSink::sink, this);
        NwSetLogLevel(1);
    }
    bool waitUntilStalled() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kRealWait, [&] { return stalled_; });
    }
    void release() {
        std::lock_guard<std::mutex> guard(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    int count(const std::string& line) {
        std::lock_guard<std::mutex> guard(mutex_);
        return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
    }
    bool waitForCount(const std::string& line, int wanted) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kRealWait, [&] {
            return std::count(lines_.begin(), lines_.end(), line) >= wanted;
        });
    }
    std::string dump() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::string all;
        for (const auto& line : lines_)
            all += line + "\n";
        return all;
    }

private:
    static void sink(const wchar_t* text, void* context) {
        auto* self = static_cast<StallingLogSink*>(context);
        const std::string line = detection::utf8FromWide(text);
        std::unique_lock<std::mutex> lock(self->mutex_);
        self->lines_.push_back(line);
        self->changed_.notify_all();
        if (line != kWaitForSuspendLine || self->stalled_)
            return;
        self->stalled_ = true;
        self->changed_.notify_all();
        self->changed_.wait_for(lock, kRealWait, [&] { return self->released_; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool stalled_ = false;
    bool released_ = false;
};

class ListenerThread : public NwSession {
protected:
    void TearDown() override {
        sink().release();
        NwSession::TearDown();
    }
    // A listener that outlives its library may still log: the sink lives for the whole process.
    static StallingLogSink& sink() {
        static StallingLogSink* instance = new StallingLogSink;
        return *instance;
    }
};

TEST_F(ListenerThread, ListenerThatEndsLateTouchesOnlyItsOwnStateAfterTheLibraryIsRestarted) {
    sink().install();
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    ASSERT_TRUE(sink().waitUntilStalled()) << sink().dump();

    // The first listener is held in its log line: the stop gives up waiting for it.
    EXPECT_EQ(NwTerminate(), 0u);
    EXPECT_EQ(sink().count(kStopTimedOutLine), 1) << sink().dump();
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    EXPECT_EQ(sink().count(kStoppingLine), 0);

    // Let go, the late listener sees its own stop request and ends; the new one keeps running.
    sink().release();
    EXPECT_TRUE(sink().waitForCount(kStoppingLine, 1)) << sink().dump();
    EXPECT_EQ(NwTerminate(), 0u);
    EXPECT_TRUE(sink().waitForCount(kStoppingLine, 2)) << sink().dump();
    EXPECT_EQ(sink().count(kStopTimedOutLine), 1) << "the second listener ended in time\n"
                                                  << sink().dump();
    EXPECT_EQ(sink().count("Nw: Listener thread started"), 2);
}

TEST_F(ListenerThread, RepeatedInitialisationAndTerminationEndsEveryListener) {
    // At the library's own stop wait (a second), not the fixture's small scale: a loaded machine
    // may take longer than a hundredth of it to run a listener that was told to stop.
    testsupport::ScopedTimeScale realTime{1.0};
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
        ASSERT_EQ(NwTerminate(), 0u);
    }
    EXPECT_EQ(log.count("Nw: Listener thread started"), kRounds);
    EXPECT_EQ(log.count(kStoppingLine), kRounds);
    EXPECT_FALSE(log.has(kStopTimedOutLine));
}

// In a child process of its own: the process may then create no further thread.
int initialiseWithoutThreads(const std::string& database) {
    // Named and local events live in a namespace folder that the ordinary user must reach.
    char pattern[] = "/tmp/kestrel-nw-user-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chown(pattern, kUnprivilegedUser, kUnprivilegedUser) != 0)
        return 9;
    const std::filesystem::path objects = pattern;
    platform::setNamedObjectNamespace(objects.string());
    rlimit limit{};
    getrlimit(RLIMIT_NPROC, &limit);
    limit.rlim_cur = 0;
    // The limit does not hold for privileged processes: act as an ordinary user, keeping the
    // way back to root in the saved user id.
    if (setrlimit(RLIMIT_NPROC, &limit) != 0 ||
        setresuid(kUnprivilegedUser, kUnprivilegedUser, 0) != 0)
        return 10;
    static const detection::CardDbModule module{database};
    const uint32_t refused = NwInitialize(&module);
    if (refused != kErrorFail) {
        std::fprintf(stderr, "NwInitialize answered 0x%x\n", refused);
        return 11;
    }
    NwCardInfo info{};
    info.size = sizeof info;
    if (NwGetCardInfo(&info) != kErrorNotReady)
        return 12;
    if (seteuid(0) != 0)
        return 13;
    // Nothing of the failed start is left over: a second initialisation starts afresh.
    if (NwInitialize(&module) != 0)
        return 14;
    if (NwTerminate() != 0)
        return 15;
    std::error_code error;
    std::filesystem::remove_all(objects, error);
    return 0;
}

TEST_F(ListenerThread, ThreadThatCannotBeCreatedFailsInitialisationWithNothingLeftOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string text = database(lyraSection("0x1"));
    EXPECT_EXIT(std::exit(initialiseWithoutThreads(text)), ::testing::ExitedWithCode(0), "");
}

} // namespace
