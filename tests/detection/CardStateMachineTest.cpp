#include "tests/support/NwLibraryTestSupport.h"

#include "detection/CardState.h"
#include "detection/CardStateMachine.h"
#include "detection/CurrentCard.h"
#include "detection/NotificationWindow.h"
#include "platform/Power.h"

#include <gtest/gtest.h>

namespace {

using namespace detectiontest;

class CardStateMachine : public NwSession {};

TEST_F(CardStateMachine, CardPresentAtInitialisationIsReportedOnlyThroughRegistration) {
    publish(lyraCard());
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u) << log.dump();
    pumpFor(500);
    EXPECT_TRUE(notifications().empty()); // the start-up check notifies nobody
    registerCallback();
    ASSERT_EQ(notifications().size(), 1u); // delivered before the registration returned
    EXPECT_EQ(notifications()[0].reason, uint32_t(NwReasonRegistered));
    EXPECT_EQ(notifications()[0].state, uint32_t(CardStateStarted));
    EXPECT_EQ(notifications()[0].model, 0x300u);
    EXPECT_TRUE(log.has("Nw: Checking actual state of the system at startup..."));
    pumpFor(500);
    EXPECT_EQ(notifications().size(), 1u);
}

TEST_F(CardStateMachine, ArrivalCompletesTheCardAndRemovalStopsIt) {
    ASSERT_EQ(initialise(lyraSection("0x2,0x2")), 0u);
    registerCallback();
    ASSERT_EQ(notifications().size(), 1u);
    EXPECT_EQ(notifications()[0].result, uint32_t(NwErrorNoCard));

    publish(lyraCard());
    ASSERT_TRUE(waitForNotification(CardStateStarted, NwReasonDeviceChange)) << log.dump();
    EXPECT_TRUE(notified(CardStateStarting, NwReasonDeviceChange));
    EXPECT_TRUE(log.has("Nw: DetectionEvent is DetEvModemDevIfArrived"));
    EXPECT_TRUE(log.has("Nw: Detection timeout timer started with 300000 msec timeout"));
    EXPECT_FALSE(log.mentions("Polling timer started")); // the modem is event based
    EXPECT_TRUE(log.has("Nw: Detection timeout timer stopped"));
    // Later arrivals find the card known and do not detect it again.
    EXPECT_EQ(log.count("Nw: Modem detection method is set to ModemDetMethodDefaultEventBased, "
                        "insertion event mask=0x2"),
              1);

    const size_t before = notifications().size();
    tree->removeGroup("card");
    ASSERT_TRUE(pumpUntil([&] {
        return notifications().size() > before && notifications().back().result == NwErrorNoCard;
    })) << log.dump();
    EXPECT_EQ(notifications().back().reason, uint32_t(NwReasonDeviceChange));
    EXPECT_TRUE(log.has("Nw: Card state changed to Stopped"));
}

TEST_F(CardStateMachine, RemovedAdapterStopsAStartedCard) {
    publish(lyraCard(true, true));
    ASSERT_EQ(initialise(lyraSection("0x1", "0x82", "0", {"WwanNicName=Lyra Net"})), 0u);
    registerCallback();
    ASSERT_EQ(notifications().back().state, uint32_t(CardStateStarted)) << log.dump();
    auto group = lyraCard(true, true);
    group.nodes.back().status |= platform::kNodeHasProblem;
    publish(group);
    ASSERT_TRUE(pumpUntil([&] { return notifications().back().result == NwErrorNoCard; }))
        << log.dump();
    EXPECT_EQ(notifications().back().reason, uint32_t(NwReasonDeviceChange));
}

TEST_F(CardStateMachine, PollingCardGetsThePollingTimerAndCompletesOnATick) {
    auto card = lyraCard(false);
    publish(card);
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    registerCallback();
    EXPECT_EQ(notifications().back().state, uint32_t(CardStateStarting));
    EXPECT_TRUE(log.has("Nw: Polling timer started with 1 sec frequency"));
    ASSERT_TRUE(pumpUntil([&] { return log.has("Nw: polling timer event"); }));

    // The modem shows up without any interface event: only polling can find it.
    auto complete = lyraCard(true);
    complete.nodes[1].interfaces.clear();
    publish(complete);
    ASSERT_TRUE(waitForNotification(CardStateStarted, NwReasonDeviceChange)) << log.dump();
    EXPECT_TRUE(log.has("Nw: Polling timer stopped"));
}

TEST_F(CardStateMachine, EventMaskThatNeverOccursLeavesTheCardStarting) {
    publish(lyraCard(false));
    ASSERT_EQ(initialise(lyraSection("0x2,0x100")), 0u);
    registerCallback();
    publish(lyraCard(true)); // a modem interface (0x2) arrives, not in the mask
    pumpFor(3000);
    EXPECT_EQ(detection::currentCard().info.state, uint32_t(CardStateStarting));
    EXPECT_TRUE(log.has("Nw: DetectionEvent is DetEvModemDevIfArrived"));
    EXPECT_FALSE(log.mentions("Polling timer started"));
}

class SlowCardStateMachine : public NwSession {
protected:
    double scale() const override { return 0.001; }
};

TEST_F(SlowCardStateMachine, DetectionTimeoutStopsACardThatNeverCompletes) {
    publish(lyraCard(false));
    ASSERT_EQ(initialise(lyraSection("0x2,0x2")), 0u);
    registerCallback();
    ASSERT_EQ(notifications().back().state, uint32_t(CardStateStarting));
    const uint64_t start = platform::tickMs();
    ASSERT_TRUE(
        pumpUntil([&] { return log.has("Nw: Detection timed out, cancelling..."); }, 1000000));
    EXPECT_GE(platform::tickMs() - start, 290000u);
    EXPECT_EQ(notifications().back().result, uint32_t(NwErrorNoCard));
    EXPECT_EQ(notifications().back().reason, uint32_t(NwReasonDeviceChange));
}

TEST_F(CardStateMachine, StandbyStopsOnceAndResumeRunsTheWakeupChecks) {
    publish(lyraCard());
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    registerCallback();
    ASSERT_EQ(notifications().back().state, uint32_t(CardStateStarted));
    log.clear();
    notifications().clear();

    platform::publishPowerEvent(platform::kPowerSuspend);
    ASSERT_TRUE(pumpUntil([&] { return !notifications().empty(); }));
    pumpFor(200);
    ASSERT_EQ(notifications().size(), 1u);
    EXPECT_EQ(notifications()[0].reason, uint32_t(NwReasonStandby));
    EXPECT_EQ(notifications()[0].result, uint32_t(NwErrorNoCard));
    EXPECT_TRUE(log.has("Nw: WM_POWERBROADCAST, wParam=0x4"));

    // Device events before the resume are ignored.
    tree->removeGroup("card");
    publish(lyraCard());
    pumpFor(200);
    EXPECT_TRUE(log.has("Nw: ... device arrival event is ignored before complete system wake up"));
    EXPECT_EQ(notifications().size(), 1u);

    // The card needs a polling round after the resume: its modem is not active yet.
    auto waking = lyraCard();
    waking.nodes[1].status = platform::kNodeDriverLoaded;
    publish(waking);
    pumpFor(200);
    platform::publishPowerEvent(platform::kPowerResumeSuspend);
    ASSERT_TRUE(waitForNotification(CardStateStarting, NwReasonResume)) << log.dump();
    EXPECT_TRUE(log.has("Nw: Checking actual state of the system after wake-up..."));
    EXPECT_TRUE(log.has("Nw: Wakeup polling timer started with 1 sec frequency"));
    EXPECT_TRUE(log.has("Nw: Wakeup timeout timer started with 10000 msec timeout"));
    EXPECT_FALSE(log.mentions("Detection timeout timer started"));
    EXPECT_FALSE(log.mentions("Polling timer started"));
    publish(lyraCard());
    ASSERT_TRUE(waitForNotification(CardStateStarted, NwReasonResume)) << log.dump();
    EXPECT_TRUE(log.has("Nw: Wakeup polling timer event"));
}

TEST_F(CardStateMachine, WakeupTimeoutStopsACardThatDoesNotComeBack) {
    publish(lyraCard());
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    registerCallback();
    platform::publishPowerEvent(platform::kPowerSuspend);
    pumpFor(200);
    publish(lyraCard(false));
    platform::publishPowerEvent(platform::kPowerResumeSuspend);
    ASSERT_TRUE(waitForNotification(CardStateStarting, NwReasonResume));
    const uint64_t start = platform::tickMs();
    ASSERT_TRUE(pumpUntil([&] { return log.has("Nw: Wakeup check timed out, cancelling..."); }));
    EXPECT_GE(platform::tickMs() - start, 9900u);
    EXPECT_EQ(notifications().back().reason, uint32_t(NwReasonResume));
    EXPECT_EQ(notifications().back().result, uint32_t(NwErrorNoCard));
}

TEST_F(CardStateMachine, Family7CardThatDoesNotComeBackLeadsToAFullCheck) {
    publish(lyraCard(true, true));
    ASSERT_EQ(initialise(lyraSection("0x1", "0x82", "7", {"WwanNicName=Lyra Net"})), 0u);
    registerCallback();
    ASSERT_EQ(notifications().back().state, uint32_t(CardStateStarted)) << log.dump();
    const uint32_t nic = node("nic");

    platform::publishPowerEvent(platform::kPowerSuspend);
    pumpFor(200);
    EXPECT_TRUE(log.mentions("Nw: Current card will be replugged, storing its WWAN NIC device"));
    EXPECT_EQ(detection::currentCard().replugDevNode, nic);

    // After the resume the old instance is still visible and is ignored.
    platform::publishPowerEvent(platform::kPowerResumeSuspend);
    ASSERT_TRUE(pumpUntil([&] {
        return log.has("Nw: Replug timeout timer started with 35000 msec timeout");
    })) << log.dump();
    EXPECT_TRUE(log.mentions("is detected but it is ignored since it will be replugged"));
    EXPECT_EQ(detection::currentCard().info.state, uint32_t(CardStateStopped));
    notifications().clear();
    ASSERT_TRUE(pumpUntil([&] {
        return log.has("Nw: Repluggable card was not replugged within a reasonable time after "
                       "standby, assuming non-powered down USB, checking system...");
    })) << log.dump();
    // The full check with reason 4 now reports the card.
    ASSERT_TRUE(waitForNotification(CardStateStarted, NwReasonDeviceChange)) << log.dump();
    EXPECT_EQ(detection::currentCard().replugDevNode, 0u);
}

TEST_F(CardStateMachine, ReplugNodeIsForgottenWhenTheOldInstanceGoes) {
    publish(lyraCard(true, true));
    ASSERT_EQ(initialise(lyraSection("0x1", "0x82", "7", {"WwanNicName=Lyra Net"})), 0u);
    registerCallback();
    platform::publishPowerEvent(platform::kPowerSuspend);
    platform::publishPowerEvent(platform::kPowerResumeSuspend);
    ASSERT_TRUE(pumpUntil([&] { return log.mentions("Replug timeout timer started"); }));
    tree->removeGroup("card");
    ASSERT_TRUE(pumpUntil([&] { return log.has("Nw: Current repluggable card has been removed"); }))
        << log.dump();
    EXPECT_TRUE(log.has("Nw: Replug timeout timer stopped"));
    EXPECT_EQ(detection::currentCard().replugDevNode, 0u);
}

TEST_F(CardStateMachine, SetCardStateToTheCurrentStateIsSilentWhileResetAndStopAlwaysNotifies) {
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    registerCallback();
    notifications().clear();
    detection::SetCardState(CardStateStopped, NwReasonDeviceChange);
    EXPECT_TRUE(notifications().empty());
    detection::ResetAndStop(NwReasonDeviceChange);
    detection::ResetAndStop(NwReasonDeviceChange);
    ASSERT_EQ(notifications().size(), 2u);
    EXPECT_EQ(notifications()[1].reason, uint32_t(NwReasonDeviceChange));
}

TEST_F(CardStateMachine, RemovalOfTheMainDevicesSymbolicLinkResetsTheCard) {
    auto group = lyraCard(false);
    publish(group);
    ASSERT_EQ(initialise(lyraSection("0x2,0x2")), 0u);
    registerCallback();
    ASSERT_EQ(notifications().back().state, uint32_t(CardStateStarting));
    // The composite's interface goes while its node stays active.
    group.nodes[0].interfaces.clear();
    publish(group);
    ASSERT_TRUE(pumpUntil([&] {
        return log.has("Nw: Symbolic link of the main device has been removed, resetting device "
                       "state");
    })) << log.dump();
    EXPECT_EQ(notifications().back().result, uint32_t(NwErrorNoCard));
}

TEST_F(CardStateMachine, ArrivalsAreClassifiedByInterfaceClass) {
    using platform::DeviceBroadcast;
    auto of = [](DeviceBroadcast::Type type, const char* guid) {
        return detection::classifyArrival(DeviceBroadcast{type, guid, "x"});
    };
    EXPECT_EQ(of(DeviceBroadcast::Type::DeviceInterface, "{86e0d1e0-8089-11d0-9ce4-08003e301f73}"),
              detection::kDetEvComPortDevIfArrived);
    EXPECT_EQ(of(DeviceBroadcast::Type::DeviceInterface, kModemInterface),
              detection::kDetEvModemDevIfArrived);
    EXPECT_EQ(of(DeviceBroadcast::Type::DeviceInterface, kUsbInterface),
              detection::kDetEvUsbIfArrived);
    EXPECT_EQ(of(DeviceBroadcast::Type::DeviceInterface, "{AD498944-762F-11D0-8DCB-00C04FC3358C}"),
              detection::kDetEvNetworkDevIfArrived);
    EXPECT_EQ(of(DeviceBroadcast::Type::DeviceInterface, "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"),
              detection::kDetEvScReaderIfArrived);
    EXPECT_EQ(of(DeviceBroadcast::Type::DeviceInterface, "{00000000-0000-0000-0000-000000000000}"),
              detection::kDetEvUnknown);
    EXPECT_EQ(of(DeviceBroadcast::Type::Port, ""), detection::kDetEvPortArrived);
    EXPECT_EQ(of(DeviceBroadcast::Type::DeviceNode, ""), detection::kDetEvDeviceNodeArrived);
    EXPECT_STREQ(detection::detectionEventName(0x3), "Unknown!");
    EXPECT_STREQ(detection::detectionEventName(0x80000000u), "DetEvDeviceNodeChanged");
}

} // namespace

namespace {

using namespace detectiontest;

class FakeRemoval : public NwSession {
protected:
    platform::DeviceGroup withReader(uint32_t status, uint32_t problem) {
        auto group = lyraCard();
        auto& reader = group.add("reader", "card");
        reader.enumerator = "USB";
        reader.instanceId = "USB\\VID_1234&PID_0001&MI_03\\1";
        reader.classGuid = platform::kClassSmartCardReader;
        reader.deviceDesc = "Lyra Reader";
        reader.status = status;
        reader.problem = problem;
        return group;
    }
};

TEST_F(FakeRemoval, FirstInsertionWithAnUnconfiguredReaderIsAFakeRemovalOnce) {
    publish(withReader(platform::kNodeDriverLoaded | platform::kNodeHasProblem,
                       platform::kProblemNotConfigured));
    ASSERT_EQ(initialise(lyraSection("0x1", "0x80", "0", {"SmartCardReader=Lyra Reader"})), 0u);
    ASSERT_NE(detection::currentCard().info.state, uint32_t(CardStateStopped)) << log.dump();
    EXPECT_EQ(NwIsFirstInsertionsFakeRemoval(), 1u) << log.dump();
    EXPECT_TRUE(log.has("Nw: Fake removal detected due to the first insertion of a device with a "
                        "smart card reader"));
    EXPECT_EQ(NwIsFirstInsertionsFakeRemoval(), 0u); // once per card
}

TEST_F(FakeRemoval, ConfiguredReaderOrNoCardIsNoFakeRemoval) {
    ASSERT_EQ(initialise(lyraSection("0x1", "0x80", "0", {"SmartCardReader=Lyra Reader"})), 0u);
    EXPECT_EQ(NwIsFirstInsertionsFakeRemoval(), 0u); // no card
    publish(withReader(platform::kNodeDriverLoaded | platform::kNodeStarted, 0));
    ASSERT_TRUE(pumpUntil([&] { return detection::currentCard().info.state != CardStateStopped; }));
    EXPECT_EQ(NwIsFirstInsertionsFakeRemoval(), 0u);
    EXPECT_TRUE(log.mentions("status is 0xa, problem# is 0"));
}

} // namespace
