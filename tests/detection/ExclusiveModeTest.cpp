#include "tests/support/NwLibraryTestSupport.h"
#include "tests/support/ScopedTimeScale.h"
#include "NwmonProcess.h"

#include "detection/CurrentCard.h"
#include "detection/ExclusiveMode.h"
#include "detection/NwLibrary.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

namespace {

using namespace detectiontest;
using Clock = std::chrono::steady_clock;

constexpr double kStopWaitScale = 0.1;

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
    // The holder releases the mutex and tries to take it back at once; the other process wakes
    // either through the mutex or because the suspension it noted is gone. Whichever process
    // wins the mutex then, the other goes back to competing for it.
    ASSERT_TRUE(other.waitFor("waking up from suspended mode", mark)) << other.dump();
    ASSERT_TRUE(other.waitFor("Nw: Checking actual state of the system after suspension...", mark));
    EXPECT_TRUE(other.waitFor("Nw: New listener thread duty is 'WaitForSuspend", mark))
        << other.dump();
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

TEST_F(ExclusiveMode, SuspensionRequestReachingTheWindowAfterEnteringExclusiveModeIsIgnored) {
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    registerCallback();
    ASSERT_EQ(NwEnterExclusiveMode(2048), 0u);
    log.clear();
    notifications().clear();
    // A request the listener saw and posted just before this process became exclusive.
    ASSERT_EQ(platform::postMessage(detection::library().window,
                                    detection::kMessageSuspensionRequest, 0, 0),
              0u);
    pumpFor(200);
    EXPECT_TRUE(log.has("Nw: Suspension request has arrived but ignored in exclusive mode"))
        << log.dump();
    EXPECT_TRUE(notifications().empty());
    EXPECT_NE(detection::currentCard().info.state, uint32_t(CardStateSuspended));
    EXPECT_EQ(NwIsInUseByOtherProcess(), 0u);
}

TEST_F(ExclusiveMode, LibraryUsesExclusiveModeBeforeInitialisationAndAfterTermination) {
    // The stop waits 1000 ms for the listener: at 0.01 that is 10 ms of real time, less than a
    // loaded machine may take to let the woken thread run.
    const testsupport::ScopedTimeScale calm(kStopWaitScale);
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
    // The stop waits 1000 ms for the listener: at 0.01 that is 10 ms of real time, less than a
    // loaded machine may take to let the woken thread run.
    const testsupport::ScopedTimeScale calm(kStopWaitScale);
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
