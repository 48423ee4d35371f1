#include "platform/Clock.h"
#include "platform/NamedObject.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace platform;

// How long a thread of the test may take to reach a point on a loaded machine.
constexpr std::chrono::seconds kThreadLimit{30};

class NamedObjectTest : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{0.01};
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-objects-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        setNamedObjectNamespace(folder + "/ns");
    }
    void TearDown() override {
        setNamedObjectNamespace("");
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }

    std::string folder;
};

// A child process that runs `body` and then waits for its end; the pipe tells the parent when
// the body has run.
struct Child {
    pid_t pid = -1;
    int ready = -1;

    template <class Body> static Child start(Body body) {
        int fds[2];
        if (pipe(fds) != 0)
            std::abort();
        Child child;
        child.pid = fork();
        if (child.pid == 0) {
            close(fds[0]);
            const char result = body() ? 'y' : 'n';
            if (write(fds[1], &result, 1) != 1)
                _exit(3);
            pause(); // until killed
            _exit(0);
        }
        close(fds[1]);
        child.ready = fds[0];
        return child;
    }

    // True when the body reported success.
    bool waitReady() const {
        char result = 0;
        return read(ready, &result, 1) == 1 && result == 'y';
    }

    void kill(int signal) {
        ::kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        close(ready);
        pid = -1;
    }
};

TEST_F(NamedObjectTest, CreateReportsExistenceAndOpenFindsOnlyLiveObjects) {
    EXPECT_EQ(openNamedEvent("missing").error, SyncError::kNotFound);
    auto first = createNamedEvent("NW_Suspension_{test}", true, false);
    ASSERT_EQ(first.error, 0u);
    EXPECT_FALSE(first.alreadyExisted);
    auto second = createNamedEvent("NW_Suspension_{test}", false, true);
    ASSERT_EQ(second.error, 0u);
    EXPECT_TRUE(second.alreadyExisted);
    // The second create did not change the reset mode or the state.
    EXPECT_FALSE(isEventSignalled(second.handle));
    auto opened = openNamedEvent("NW_Suspension_{test}");
    ASSERT_EQ(opened.error, 0u);

    // The name belongs to an event: a mutex of that name cannot be made.
    EXPECT_EQ(createNamedMutex("NW_Suspension_{test}", true).error, SyncError::kInvalidHandle);
    EXPECT_EQ(openNamedMutex("NW_Suspension_{test}").error, SyncError::kInvalidHandle);

    first.handle.reset();
    second.handle.reset();
    EXPECT_EQ(openNamedEvent("NW_Suspension_{test}").error, 0u); // one handle is left
    opened.handle.reset();
    EXPECT_EQ(openNamedEvent("NW_Suspension_{test}").error, SyncError::kNotFound);
    auto again = createNamedEvent("NW_Suspension_{test}", true, false);
    EXPECT_FALSE(again.alreadyExisted);
}

TEST_F(NamedObjectTest, BadNamesAndHandlesAreRefused) {
    EXPECT_EQ(createNamedMutex(std::string(kMaximumObjectName + 1, 'x'), false).error,
              SyncError::kNameTooLong);
    EXPECT_EQ(createNamedMutex("", false).error, SyncError::kInvalidParameter);
    EXPECT_EQ(createNamedMutex(std::string(kMaximumObjectName, 'x'), false).error, 0u);
    uint32_t error = 0;
    EXPECT_EQ(waitForAnyObject({}, 0, &error), kWaitFailed);
    EXPECT_EQ(error, SyncError::kInvalidParameter);
    EXPECT_EQ(waitForObject(nullptr, 0, &error), kWaitFailed);
    EXPECT_EQ(error, SyncError::kInvalidHandle);
    EXPECT_EQ(setEvent(nullptr), SyncError::kInvalidHandle);
    auto mutex = createNamedMutex("m", false);
    EXPECT_EQ(setEvent(mutex.handle), SyncError::kInvalidHandle);
    auto event = createLocalEvent(false, false);
    EXPECT_EQ(releaseMutex(event.handle), SyncError::kInvalidHandle);
}

TEST_F(NamedObjectTest, AutoResetEventWakesOneWaitAndManualResetStaysSignalled) {
    auto automatic = createNamedEvent("auto", false, false);
    auto manual = createNamedEvent("manual", true, false);
    ASSERT_EQ(automatic.error, 0u);
    ASSERT_EQ(manual.error, 0u);
    EXPECT_EQ(waitForObject(automatic.handle, 0), kWaitTimeout);
    ASSERT_EQ(setEvent(automatic.handle), 0u);
    EXPECT_EQ(waitForObject(automatic.handle, 0), kWaitObject0);
    EXPECT_EQ(waitForObject(automatic.handle, 0), kWaitTimeout);

    ASSERT_EQ(setEvent(manual.handle), 0u);
    EXPECT_EQ(waitForObject(manual.handle, 0), kWaitObject0);
    EXPECT_EQ(waitForObject(manual.handle, 0), kWaitObject0);
    EXPECT_TRUE(isEventSignalled(manual.handle));
    ASSERT_EQ(resetEvent(manual.handle), 0u);
    EXPECT_EQ(waitForObject(manual.handle, 0), kWaitTimeout);
}

TEST_F(NamedObjectTest, WaitForAnyAnswersTheLowestSignalledIndexAndTimesOut) {
    auto wake = createLocalEvent(false, false);
    auto suspension = createNamedEvent("suspension", true, true);
    auto other = createNamedEvent("other", true, true);
    std::vector<SyncHandle> objects{wake.handle, suspension.handle, other.handle};
    EXPECT_EQ(waitForAnyObject(objects, 0), kWaitObject0 + 1);
    ASSERT_EQ(setEvent(wake.handle), 0u);
    EXPECT_EQ(waitForAnyObject(objects, 0), kWaitObject0);
    EXPECT_EQ(waitForAnyObject(objects, 0), kWaitObject0 + 1); // the local one reset itself

    resetEvent(suspension.handle);
    resetEvent(other.handle);
    const uint64_t start = tickMs();
    EXPECT_EQ(waitForAnyObject(objects, 1000), kWaitTimeout);
    const uint64_t elapsed = tickMs() - start;
    EXPECT_GE(elapsed, 990u);
    EXPECT_LT(elapsed, 20000u);
}

TEST_F(NamedObjectTest, LocalEventSetOnAnotherThreadEndsAnEndlessWait) {
    auto wake = createLocalEvent(false, false);
    auto never = createNamedEvent("never", true, false);
    std::thread setter([&] {
        sleepMs(3000);
        setEvent(wake.handle);
    });
    EXPECT_EQ(waitForAnyObject({never.handle, wake.handle}, kInfiniteMs), kWaitObject0 + 1);
    setter.join();
}

TEST_F(NamedObjectTest, MutexIsRecursiveForItsOwnerAndRefusedToOthers) {
    auto created = createNamedMutex("NW_Exclusive_Object_{test}", true);
    ASSERT_EQ(created.error, 0u);
    ASSERT_FALSE(created.alreadyExisted);
    // Initial ownership was granted: the owner may wait again and must release twice.
    EXPECT_EQ(waitForObject(created.handle, 0), kWaitObject0);

    auto existing = createNamedMutex("NW_Exclusive_Object_{test}", true);
    ASSERT_TRUE(existing.alreadyExisted);
    std::atomic<bool> refused{false};
    std::atomic<bool> taken{false};
    std::thread stranger([&] {
        EXPECT_EQ(waitForObject(existing.handle, 0), kWaitTimeout);
        EXPECT_EQ(releaseMutex(existing.handle), SyncError::kNotOwner);
        refused = true;
        // Takes it as soon as the owner lets go.
        EXPECT_EQ(waitForObject(existing.handle, kInfiniteMs), kWaitObject0);
        taken = true;
        EXPECT_EQ(releaseMutex(existing.handle), 0u);
    });
    ASSERT_TRUE(testsupport::waitUntil([&] { return refused.load(); }, kThreadLimit));
    EXPECT_EQ(releaseMutex(created.handle), 0u);
    // Still held once: the stranger, waiting by now or soon, must not get it.
    sleepMs(1000);
    EXPECT_FALSE(taken.load());
    EXPECT_EQ(releaseMutex(created.handle), 0u);
    stranger.join();
    EXPECT_EQ(releaseMutex(created.handle), SyncError::kNotOwner);
}

TEST_F(NamedObjectTest, MutexOfAThreadThatEndedIsAbandoned) {
    auto mutex = createNamedMutex("abandoned-by-thread", false);
    std::thread owner([&] { EXPECT_EQ(waitForObject(mutex.handle, 0), kWaitObject0); });
    owner.join();
    EXPECT_EQ(waitForObject(mutex.handle, 1000), kWaitAbandoned0);
    EXPECT_EQ(releaseMutex(mutex.handle), 0u);
    EXPECT_EQ(waitForObject(mutex.handle, 0), kWaitObject0); // abandonment is reported once
    EXPECT_EQ(releaseMutex(mutex.handle), 0u);
}

TEST_F(NamedObjectTest, EventSetByAnotherProcessWakesTheWaiter) {
    auto event = createNamedEvent("cross-process", false, false);
    ASSERT_EQ(event.error, 0u);
    Child child = Child::start([] {
        sleepMs(2000);
        auto opened = openNamedEvent("cross-process");
        return opened.error == 0 && setEvent(opened.handle) == 0;
    });
    EXPECT_EQ(waitForObject(event.handle, 60000), kWaitObject0);
    EXPECT_TRUE(child.waitReady());
    child.kill(SIGKILL);
}

TEST_F(NamedObjectTest, HolderKilledWithSigkillLeavesAnAbandonedMutexToItsWaiter) {
    Child holder = Child::start([] {
        auto mutex = createNamedMutex("NW_Exclusive_Object_{kill}", true);
        auto event = createNamedEvent("NW_Suspension_{kill}", true, true);
        // Keep both handles open until the kill.
        static SyncHandle keepMutex, keepEvent;
        keepMutex = mutex.handle;
        keepEvent = event.handle;
        return mutex.error == 0 && !mutex.alreadyExisted && event.error == 0;
    });
    ASSERT_TRUE(holder.waitReady());
    auto mutex = createNamedMutex("NW_Exclusive_Object_{kill}", true);
    ASSERT_EQ(mutex.error, 0u);
    ASSERT_TRUE(mutex.alreadyExisted);
    auto event = openNamedEvent("NW_Suspension_{kill}");
    ASSERT_EQ(event.error, 0u);
    EXPECT_TRUE(isEventSignalled(event.handle));
    EXPECT_EQ(waitForObject(mutex.handle, 500), kWaitTimeout);

    std::atomic<uint32_t> result{0};
    std::atomic<uint64_t> woke{0};
    std::thread waiter([&] {
        result = waitForAnyObject({mutex.handle}, kInfiniteMs);
        woke = tickMs();
        if (result == kWaitAbandoned0)
            releaseMutex(mutex.handle);
    });
    sleepMs(1000);
    const uint64_t killed = tickMs();
    holder.kill(SIGKILL);
    waiter.join();
    EXPECT_EQ(result.load(), kWaitAbandoned0);
    EXPECT_LT(woke.load() - killed, 100000u); // one real second
    // The event the dead process left signalled is still signalled: it was never reset.
    EXPECT_TRUE(isEventSignalled(event.handle));
}

TEST_F(NamedObjectTest, ObjectsOfADeadProcessVanishWhenNobodyElseHoldsThem) {
    Child holder = Child::start([] {
        static SyncOpenResult mutex = createNamedMutex("lonely", true);
        return mutex.error == 0;
    });
    ASSERT_TRUE(holder.waitReady());
    EXPECT_EQ(openNamedMutex("lonely").error, 0u);
    holder.kill(SIGKILL);
    EXPECT_EQ(openNamedMutex("lonely").error, SyncError::kNotFound);
    auto fresh = createNamedMutex("lonely", true);
    EXPECT_FALSE(fresh.alreadyExisted);
    EXPECT_EQ(waitForObject(fresh.handle, 0), kWaitObject0); // owned, not abandoned
}

TEST_F(NamedObjectTest, NamespacesKeepTheirObjectsApart) {
    auto here = createNamedEvent("shared-name", true, true);
    setNamedObjectNamespace(folder + "/other");
    EXPECT_EQ(openNamedEvent("shared-name").error, SyncError::kNotFound);
    auto there = createNamedEvent("shared-name", true, false);
    EXPECT_FALSE(there.alreadyExisted);
    uint32_t error = 0;
    EXPECT_EQ(waitForAnyObject({here.handle, there.handle}, 0, &error), kWaitFailed);
    EXPECT_EQ(error, SyncError::kInvalidParameter);
    EXPECT_EQ(waitForObject(here.handle, 0), kWaitObject0); // a handle keeps its namespace
}

} // namespace
