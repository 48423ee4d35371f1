#include "app/StateMachine.h"
#include "tests/support/ScopedTimeScale.h"

#include "tests/support/LogCapture.h"
#include "tests/support/RecordingTraits.h"
#include "app/UpdateInfo.h"
#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

namespace {

using Calls = std::vector<std::string>;
using State = StateMachine::StateNumber;

struct Step {
    uint16_t signal;
    int32_t parameter;
};

// Signals that take a freshly initialised machine (whose device trait reports nothing) to a state.
const std::map<State, std::vector<Step>> kPaths = {
    {StateMachine::kInitialisation, {}},
    {StateMachine::kInitFailure, {{sigError, 42}}},
    {StateMachine::kNoCard, {{sigDone, 0}}},
    {StateMachine::kTerminate, {{sigDone, 0}, {sigCancel, 0}}},
    {StateMachine::kCheckDevice, {{sigArrival, 0}}},
    {StateMachine::kDeviceUnusable, {{sigArrival, 0}, {sigError, 300}}},
    {StateMachine::kPromptUser, {{sigArrival, 0}, {sigDone, 0}}},
    {StateMachine::kUpdate, {{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}}},
    {StateMachine::kWaitForDevice, {{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}, {sigReset, 0}}},
    {StateMachine::kUpdateFailure, {{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}, {sigError, 7}}},
    {StateMachine::kUpdateSuccess, {{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}, {sigDone, 0}}},
    {StateMachine::kSleepAfterUpdate,
     {{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}, {sigDone, 0}, {sigSleep, 0}}},
};

class Workflow : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{0.001};
    void SetUp() override {
        machine.windowTrait = &windows;
        machine.deviceTrait = &device;
        machine.updateTrait = &updater;
    }

    void reach(State state) {
        machine.init();
        for (const Step& step : kPaths.at(state))
            machine.dispatch(step.signal, step.parameter);
        ASSERT_EQ(current(), state)
            << "path to " << StateMachine::stateName(StateMachine::handlerOf(state));
        journal.take();
    }
    int current() { return StateMachine::stateNumber(machine.currentStateHandler()); }

    Journal journal;
    RecordingWindowTrait windows{journal};
    RecordingDeviceTrait device{journal};
    RecordingUpdateTrait updater{journal};
    StateMachine machine;
};

TEST_F(Workflow, NormalRunFromArrivalToTerminate) {
    device.onInitialise = [this] { machine.dispatch(sigArrival); };
    machine.init();
    EXPECT_EQ(journal.take(),
              Calls({"open(1,0,1)", "initialise", "open(5,2,6)", "checkDevice(1)"}));
    EXPECT_TRUE(machine.isIn(StateMachine::kCheckDevice));
    EXPECT_TRUE(machine.isIn(StateMachine::kDeviceInserted));

    const uint64_t beforeCheckEnd = platform::tickMs();
    machine.dispatch(sigDone);
    EXPECT_GE(platform::tickMs() - beforeCheckEnd, 1000u) << "the update page follows after 1 s";
    EXPECT_EQ(journal.take(), Calls({"refresh(2)", "close(5)", "open(2,0,6)"}));
    EXPECT_EQ(current(), StateMachine::kPromptUser);

    machine.dispatch(sigUpdate);
    EXPECT_EQ(journal.take(), Calls({"open(5,2,9)", "startUpdate"}));

    machine.dispatch(sigReset);
    machine.dispatch(sigDeparture);
    EXPECT_EQ(current(), StateMachine::kWaitForDevice);
    machine.dispatch(sigArrival);
    EXPECT_EQ(current(), StateMachine::kUpdate);
    EXPECT_TRUE(journal.take().empty()) << "returning to update neither reopens nor restarts";

    machine.dispatch(sigDone);
    EXPECT_EQ(journal.take(), Calls({"close(5)", "open(4,2,12)"}));
    machine.dispatch(sigDeparture);
    EXPECT_EQ(journal.take(), Calls({"close(4)", "terminateApp", "terminate"}));
    EXPECT_EQ(current(), StateMachine::kTerminate);

    machine.dispatch(sigArrival);
    machine.dispatch(sigCancel);
    EXPECT_TRUE(journal.take().empty());
    EXPECT_EQ(current(), StateMachine::kTerminate);
}

TEST_F(Workflow, DispatchesFromTheDeviceTraitDuringInitDecideWhereTheMachineRests) {
    device.onInitialise = [this] { machine.dispatch(sigDone); };
    machine.init();
    EXPECT_EQ(current(), StateMachine::kNoCard);

    StateMachine failing;
    RecordingDeviceTrait failingDevice(journal);
    failing.windowTrait = &windows;
    failing.deviceTrait = &failingDevice;
    failingDevice.onInitialise = [&failing] { failing.dispatch(sigError, 1060); };
    failing.init();
    EXPECT_EQ(StateMachine::stateNumber(failing.currentStateHandler()), StateMachine::kInitFailure);
    EXPECT_EQ(failing.errorCode, 1060);
}

TEST_F(Workflow, SupportedCardAfterARefusedOneReachesTheUpdatePage) {
    reach(StateMachine::kCheckDevice);
    machine.dispatch(sigError, 258);
    EXPECT_EQ(current(), StateMachine::kDeviceUnusable);
    EXPECT_EQ(machine.errorCode, 258);
    machine.dispatch(sigDeparture);
    EXPECT_EQ(current(), StateMachine::kNoCard);
    journal.take();

    machine.dispatch(sigArrival);
    EXPECT_EQ(machine.errorCode, 0) << "the new card's check starts without the old refusal";
    machine.dispatch(sigDone);
    EXPECT_EQ(current(), StateMachine::kPromptUser);
    const Calls calls = journal.take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "open(2,0,6)"), calls.end())
        << "the update page opens for the supported card";
}

TEST_F(Workflow, UpdateWithoutUpdateTraitEndsInUpdateFailureWith284) {
    reach(StateMachine::kPromptUser);
    machine.updateTrait = nullptr;
    machine.dispatch(sigUpdate);
    EXPECT_EQ(current(), StateMachine::kUpdateFailure);
    EXPECT_EQ(machine.errorCode, 284);
    EXPECT_EQ(journal.take(), Calls({"close(5)", "open(3,2,11)"}));

    // A trait whose record is missing counts the same; the retry ends there again.
    RecordingUpdateTrait withoutRecord(journal);
    delete withoutRecord.updateInfo;
    withoutRecord.updateInfo = nullptr;
    machine.updateTrait = &withoutRecord;
    machine.dispatch(sigUpdate);
    EXPECT_EQ(current(), StateMachine::kUpdateFailure);
    EXPECT_EQ(machine.errorCode, 284);
    EXPECT_EQ(journal.take(), Calls({"refresh(2)", "close(3)", "close(5)", "open(3,2,11)"}));
}

struct Row {
    State source;
    uint16_t signal;
    int32_t parameter;
    State target;
    Calls calls;
    int32_t errorCode; // -1: not checked
};

class TransitionTable : public Workflow, public ::testing::WithParamInterface<Row> {};

TEST_P(TransitionTable, SignalLeadsToTargetWithTheTraitCalls) {
    const Row& row = GetParam();
    reach(row.source);
    machine.dispatch(row.signal, row.parameter);
    EXPECT_EQ(current(), row.target);
    EXPECT_EQ(journal.take(), row.calls);
    if (row.errorCode >= 0) {
        EXPECT_EQ(machine.errorCode, row.errorCode);
    }
}

using S = StateMachine;
const Calls kNone;
const Calls kEnd = {"terminateApp", "terminate"};

INSTANTIATE_TEST_SUITE_P(
    Rows, TransitionTable,
    ::testing::Values(
        Row{S::kInitialisation,
            sigArrival,
            0,
            S::kCheckDevice,
            {"open(5,2,6)", "checkDevice(1)"},
            -1},
        Row{S::kInitialisation, sigError, 42, S::kInitFailure, {"open(3,1,2)"}, 42},
        Row{S::kInitialisation, sigDone, 0, S::kNoCard, {"open(1,0,3)"}, -1},
        Row{S::kInitialisation, sigCancel, 0, S::kInitialisation, kNone, -1},
        Row{S::kInitFailure, sigCancel, 0, S::kTerminate, kEnd, -1},
        Row{S::kInitFailure, sigDone, 0, S::kTerminate, kEnd, -1},
        Row{S::kInitFailure, sigArrival, 0, S::kInitFailure, kNone, -1},
        Row{S::kNoCard, sigArrival, 0, S::kCheckDevice, {"open(5,2,6)", "checkDevice(1)"}, -1},
        Row{S::kNoCard, sigDeparture, 0, S::kNoCard, kNone, -1},
        Row{S::kNoCard, sigCancel, 0, S::kTerminate, kEnd, -1},
        Row{S::kNoCard, sigDone, 0, S::kNoCard, kNone, -1},
        Row{S::kCheckDevice, sigArrival, 0, S::kCheckDevice, kNone, -1},
        Row{S::kCheckDevice,
            sigDeparture,
            0,
            S::kNoCard,
            {"close(5)", "open(2,0,6)", "open(1,0,3)"},
            -1},
        Row{S::kCheckDevice,
            sigCancel,
            0,
            S::kTerminate,
            {"close(5)", "open(2,0,6)", "terminateApp", "terminate"},
            -1},
        Row{S::kCheckDevice,
            sigDone,
            0,
            S::kPromptUser,
            {"refresh(2)", "close(5)", "open(2,0,6)"},
            0},
        Row{S::kCheckDevice, sigError, 300, S::kDeviceUnusable, {"close(5)", "open(3,2,7)"}, 300},
        Row{S::kDeviceUnusable,
            sigRetry,
            0,
            S::kCheckDevice,
            {"close(3)", "open(5,2,6)", "checkDevice(1)"},
            -1},
        Row{S::kDeviceUnusable, sigDeparture, 0, S::kNoCard, {"close(3)", "open(1,0,3)"}, -1},
        Row{S::kDeviceUnusable,
            sigDone,
            0,
            S::kTerminate,
            {"close(3)", "terminateApp", "terminate"},
            -1},
        Row{S::kPromptUser, sigUpdate, 0, S::kUpdate, {"open(5,2,9)", "startUpdate"}, 0},
        Row{S::kPromptUser, sigDeparture, 0, S::kNoCard, {"open(1,0,3)"}, -1},
        Row{S::kPromptUser, sigCancel, 0, S::kTerminate, kEnd, -1},
        Row{S::kPromptUser, sigReset, 0, S::kPromptUser, kNone, -1},
        Row{S::kUpdate, sigDeparture, 0, S::kUpdate, kNone, -1},
        Row{S::kUpdate, sigReset, 0, S::kWaitForDevice, kNone, -1},
        Row{S::kUpdate, sigCancel, 0, S::kUpdate, kNone, -1},
        Row{S::kUpdate, sigError, 7, S::kUpdateFailure, {"close(5)", "open(3,2,11)"}, 7},
        Row{S::kUpdate, sigDone, 0, S::kUpdateSuccess, {"close(5)", "open(4,2,12)"}, -1},
        Row{S::kWaitForDevice, sigArrival, 0, S::kUpdate, kNone, -1},
        Row{S::kWaitForDevice, sigDeparture, 0, S::kWaitForDevice, kNone, -1},
        Row{S::kWaitForDevice, sigCancel, 0, S::kWaitForDevice, kNone, -1},
        Row{S::kWaitForDevice, sigDone, 0, S::kUpdateSuccess, {"close(5)", "open(4,2,12)"}, -1},
        Row{S::kWaitForDevice, sigError, 9, S::kUpdateFailure, {"close(5)", "open(3,2,11)"}, 9},
        Row{S::kUpdateFailure, sigDeparture, 0, S::kUpdateFailure, kNone, -1},
        Row{S::kUpdateFailure,
            sigUpdate,
            0,
            S::kUpdate,
            {"refresh(2)", "close(3)", "open(5,2,9)", "startUpdate"},
            0},
        Row{S::kUpdateFailure, sigRetry, 0, S::kPromptUser, {"refresh(2)", "close(3)"}, 0},
        Row{S::kUpdateFailure,
            sigCancel,
            0,
            S::kTerminate,
            {"close(3)", "terminateApp", "terminate"},
            -1},
        Row{S::kUpdateFailure,
            sigDone,
            0,
            S::kTerminate,
            {"close(3)", "terminateApp", "terminate"},
            -1},
        Row{S::kUpdateSuccess,
            sigDeparture,
            0,
            S::kTerminate,
            {"close(4)", "terminateApp", "terminate"},
            -1},
        Row{S::kUpdateSuccess,
            sigCancel,
            0,
            S::kTerminate,
            {"close(4)", "terminateApp", "terminate"},
            -1},
        Row{S::kUpdateSuccess, sigSleep, 0, S::kSleepAfterUpdate, kNone, -1},
        Row{S::kSleepAfterUpdate, sigArrival, 0, S::kUpdateSuccess, kNone, -1},
        Row{S::kSleepAfterUpdate, sigDeparture, 0, S::kSleepAfterUpdate, kNone, -1},
        Row{S::kSleepAfterUpdate,
            sigCancel,
            0,
            S::kTerminate,
            {"close(4)", "terminateApp", "terminate"},
            -1},
        Row{S::kSleepAfterUpdate,
            sigDone,
            0,
            S::kTerminate,
            {"close(4)", "terminateApp", "terminate"},
            -1},
        Row{S::kTerminate, sigArrival, 0, S::kTerminate, kNone, -1},
        Row{S::kTerminate, sigDone, 0, S::kTerminate, kNone, -1}),
    [](const ::testing::TestParamInfo<Row>& info) {
        const std::string state =
            StateMachine::stateName(StateMachine::handlerOf(info.param.source));
        return state.substr(state.find("::") + 2) + "_" +
               StateMachine::signalName(info.param.signal);
    });

TEST_F(Workflow, ResultOfACheckThatArrivesAfterTheDepartureIsAbsorbed) {
    reach(StateMachine::kCheckDevice);
    machine.dispatch(sigDeparture);
    journal.take();
    machine.dispatch(sigDone);
    machine.dispatch(sigError, 5);
    EXPECT_EQ(current(), StateMachine::kNoCard);
    EXPECT_TRUE(journal.take().empty());
}

TEST_F(Workflow, CheckEndingInErrorNeitherSleepsNorOpensTheUpdatePage) {
    reach(StateMachine::kCheckDevice);
    const uint64_t before = platform::tickMs();
    machine.dispatch(sigError, 300);
    EXPECT_LT(platform::tickMs() - before, 1000u);
    EXPECT_EQ(journal.take(), Calls({"close(5)", "open(3,2,7)"}));
}

TEST_F(Workflow, LogsEntryExitTransitionsAndDispatches) {
    LogCapture log("kestrel.fsm");
    reach(StateMachine::kPromptUser);
    machine.dispatch(sigReset);
    machine.dispatch(sigUpdate);
    machine.dispatch(sigCancel);
    machine.dispatch(42);

    const auto messages = log.messages();
    for (const char* expected : {
             "StateMachine::StateMachine::initial",
             "StateMachine::StateMachine::initialisation: entry",
             "Dispatch event 'sigArrival' in state 'StateMachine::initialisation'",
             "StateMachine::StateMachine::initialisation: device arrival",
             "StateMachine::StateMachine::deviceInserted: entry",
             "StateMachine::StateMachine::deviceInserted: init",
             "StateMachine::StateMachine::checkDevice: exit",
             "StateMachine::StateMachine::checkDevice: done",
             "StateMachine::StateMachine::deviceInserted: Ignoring event sigReset",
             "StateMachine::StateMachine::promptUser: update",
             "StateMachine::StateMachine::update: entry",
             "StateMachine::StateMachine::update: cancel (ignored)",
             "Dispatch event 'unknownEnumValue(42)' in state 'StateMachine::update'",
             "StateMachine::StateMachine::deviceInserted: Ignoring event unknownEnumValue(42)",
         })
        EXPECT_TRUE(log.contains(expected)) << expected;
}

TEST_F(Workflow, DefaultTraitsCarryTheMachineToItsFirstWaitingState) {
    LogCapture log("kestrel.fsm");
    StateMachine bare;
    bare.init();
    EXPECT_EQ(StateMachine::stateNumber(bare.currentStateHandler()), StateMachine::kInitialisation);
    EXPECT_TRUE(log.contains("WindowTrait::openWindow(1, 0, 1)"));
    EXPECT_TRUE(log.contains("DeviceTrait::initialise()"));
}

TEST_F(Workflow, StateNamesAndNumbers) {
    EXPECT_STREQ(StateMachine::stateName(StateMachine::handlerOf(StateMachine::kSleepAfterUpdate)),
                 "StateMachine::sleepAfterUpdate");
    EXPECT_STREQ(StateMachine::stateName(&QHsm::top), "<UNKNOWN-STATE>");
    EXPECT_STREQ(StateMachine::stateName(stateHandler(&StateMachine::initial)), "<UNKNOWN-STATE>");
    EXPECT_EQ(StateMachine::stateNumber(stateHandler(&StateMachine::waitForDevice)), 10);
    EXPECT_EQ(StateMachine::stateNumber(&QHsm::top), 0);
    EXPECT_EQ(StateMachine::handlerOf(static_cast<StateMachine::StateNumber>(0)), nullptr);
    EXPECT_EQ(StateMachine::handlerOf(static_cast<StateMachine::StateNumber>(14)), nullptr);
    EXPECT_EQ(&StateMachine::instance(), &StateMachine::instance());
}

// A window trait that notices when two dispatches act at the same time.
struct OverlapDetector : WindowTrait {
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> calls{0};
    int act() {
        if (inside.fetch_add(1) != 0)
            overlaps.fetch_add(1);
        calls.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        inside.fetch_sub(1);
        return 0;
    }
    int openWindow(int, int, int) override { return act(); }
    int closeWindow(int) override { return act(); }
};

TEST_F(Workflow, DispatchesFromTwoThreadsNeverOverlap) {
    OverlapDetector detector;
    machine.windowTrait = &detector;
    machine.init();
    machine.dispatch(sigDone); // noCard: arrival and departure both act on windows

    constexpr int kRounds = 200;
    auto plugAndUnplug = [this] {
        for (int i = 0; i < kRounds; ++i) {
            machine.dispatch(sigArrival);
            machine.dispatch(sigDeparture);
        }
    };
    std::thread arrivals(plugAndUnplug);
    std::thread departures(plugAndUnplug);
    arrivals.join();
    departures.join();
    EXPECT_GT(detector.calls.load(), 100);
    EXPECT_EQ(detector.overlaps.load(), 0);
    const int state = current();
    EXPECT_TRUE(state == StateMachine::kNoCard || state == StateMachine::kCheckDevice);
}

} // namespace
