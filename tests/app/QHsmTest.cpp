#include "app/QHsm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum TestSignal : uint16_t {
    SELF = Q_USER_SIG,
    TO_PARENT,
    TO_A1,
    TO_A2,
    TO_A11,
    TO_B1,
    UNHANDLED,
};

// top
//  +- a (no initial transition)
//  |   +- a1
//  |   |   +- a11
//  |   +- a2 (initial: a21; no exit action)
//  |       +- a21 (initial: a211)
//  |           +- a211
//  +- b (no entry action)
//      +- b1
class TestMachine : public QHsm {
public:
    TestMachine() : QHsm(stateHandler(&TestMachine::initial)) {}

    // Every action a handler took: "state:entry", "state:exit", "state:init".
    std::vector<std::string> actions;
    // Every call of any handler, with its signal, as "state/signal".
    std::vector<std::string> calls;

    StateResult initial(const HsmEvent*) {
        currentState = stateHandler(&TestMachine::a);
        return nullptr;
    }

    StateResult a(const HsmEvent* e) {
        note("a", e);
        switch (e->signal) {
        case Q_ENTRY_SIG:
            return act("a:entry");
        case Q_EXIT_SIG:
            return act("a:exit");
        case TO_A1:
            return go(toA1, &TestMachine::a1);
        case TO_A2:
            return go(toA2, &TestMachine::a2);
        case TO_B1:
            return go(toB1, &TestMachine::b1);
        }
        return &QHsm::top;
    }
    StateResult a1(const HsmEvent* e) {
        note("a1", e);
        switch (e->signal) {
        case Q_ENTRY_SIG:
            return act("a1:entry");
        case Q_EXIT_SIG:
            return act("a1:exit");
        case SELF:
            return go(self, &TestMachine::a1);
        case TO_PARENT:
            return go(toParent, &TestMachine::a);
        case TO_A11:
            return go(toA11, &TestMachine::a11);
        }
        return stateHandler(&TestMachine::a);
    }
    StateResult a11(const HsmEvent* e) {
        note("a11", e);
        switch (e->signal) {
        case Q_ENTRY_SIG:
            return act("a11:entry");
        case Q_EXIT_SIG:
            return act("a11:exit");
        }
        return stateHandler(&TestMachine::a1);
    }
    StateResult a2(const HsmEvent* e) {
        note("a2", e);
        switch (e->signal) {
        case Q_ENTRY_SIG:
            return act("a2:entry");
        case Q_INIT_SIG:
            currentState = stateHandler(&TestMachine::a21);
            return act("a2:init");
        }
        return stateHandler(&TestMachine::a);
    }
    StateResult a21(const HsmEvent* e) {
        note("a21", e);
        switch (e->signal) {
        case Q_ENTRY_SIG:
            return act("a21:entry");
        case Q_EXIT_SIG:
            return act("a21:exit");
        case Q_INIT_SIG:
            currentState = stateHandler(&TestMachine::a211);
            return act("a21:init");
        }
        return stateHandler(&TestMachine::a2);
    }
    StateResult a211(const HsmEvent* e) {
        note("a211", e);
        switch (e->signal) {
        case Q_ENTRY_SIG:
            return act("a211:entry");
        case Q_EXIT_SIG:
            return act("a211:exit");
        }
        return stateHandler(&TestMachine::a21);
    }
    StateResult b(const HsmEvent* e) {
        note("b", e);
        if (e->signal == Q_EXIT_SIG)
            return act("b:exit");
        return &QHsm::top;
    }
    StateResult b1(const HsmEvent* e) {
        note("b1", e);
        switch (e->signal) {
        case Q_ENTRY_SIG:
            return act("b1:entry");
        case Q_EXIT_SIG:
            return act("b1:exit");
        case TO_A11:
            return go(b1ToA11, &TestMachine::a11);
        }
        return stateHandler(&TestMachine::b);
    }

    void send(uint16_t signal) { dispatch(HsmEvent{signal, 0, 0, 0}); }
    void clear() {
        actions.clear();
        calls.clear();
    }
    template <class Handler> bool inState(Handler handler) {
        return currentStateHandler() == stateHandler(handler);
    }

    // One record per transition site, shared by every machine like a function-local static.
    static TransitionChain self, toParent, toA1, toA2, toA11, toB1, b1ToA11;

private:
    StateResult act(const char* text) {
        actions.push_back(text);
        return nullptr;
    }
    void note(const char* state, const HsmEvent* e) {
        calls.push_back(std::string(state) + "/" + std::to_string(e->signal));
    }
    StateResult go(TransitionChain& record, StateResult (TestMachine::*target)(const HsmEvent*)) {
        transition(record, stateHandler(target));
        return nullptr;
    }
};

TransitionChain TestMachine::self, TestMachine::toParent, TestMachine::toA1, TestMachine::toA2,
    TestMachine::toA11, TestMachine::toB1, TestMachine::b1ToA11;

using Actions = std::vector<std::string>;

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        for (TransitionChain* record :
             {&TestMachine::self, &TestMachine::toParent, &TestMachine::toA1, &TestMachine::toA2,
              &TestMachine::toA11, &TestMachine::toB1, &TestMachine::b1ToA11})
            *record = TransitionChain{};
        machine.init();
        machine.send(TO_A1);
        machine.send(TO_A11);
        machine.clear();
    }
    TestMachine machine;
};

TEST_F(Engine, InitEntersTheFirstTargetOnly) {
    TestMachine fresh;
    EXPECT_TRUE(fresh.isIn(&QHsm::top));
    fresh.init();
    EXPECT_EQ(fresh.actions, Actions({"a:entry"}));
    EXPECT_TRUE(fresh.inState(&TestMachine::a));
}

TEST_F(Engine, TransitionToSelfExitsAndReentersTheSource) {
    machine.send(SELF);
    EXPECT_EQ(machine.actions, Actions({"a11:exit", "a1:exit", "a1:entry"}));
    EXPECT_TRUE(machine.inState(&TestMachine::a1));
    EXPECT_EQ(TestMachine::self.actions & 1, 1);
}

TEST_F(Engine, TransitionToParentExitsOnlyTheChild) {
    machine.send(TO_PARENT);
    EXPECT_EQ(machine.actions, Actions({"a11:exit", "a1:exit"}));
    EXPECT_TRUE(machine.inState(&TestMachine::a));

    // Replayed, the parent is still not re-entered.
    machine.send(TO_A1);
    machine.clear();
    machine.send(TO_PARENT);
    EXPECT_EQ(machine.actions, Actions({"a1:exit"}));
    EXPECT_TRUE(machine.inState(&TestMachine::a));
}

TEST_F(Engine, NestedInitialTransitionsEndInTheInnermostLeafOnFirstRunAndReplay) {
    machine.send(TO_A2);
    const Actions expected = {"a11:exit",  "a1:exit",  "a2:entry",  "a2:init",
                              "a21:entry", "a21:init", "a211:entry"};
    EXPECT_EQ(machine.actions, expected);
    EXPECT_TRUE(machine.inState(&TestMachine::a211));

    machine.send(TO_A1);
    machine.send(TO_A11);
    machine.clear();
    machine.send(TO_A2);
    EXPECT_EQ(machine.actions, expected);
    EXPECT_TRUE(machine.inState(&TestMachine::a211));
}

TEST_F(Engine, UnhandledEventIsAbsorbedByTopWithoutEffect) {
    machine.send(UNHANDLED);
    EXPECT_TRUE(machine.actions.empty());
    EXPECT_TRUE(machine.inState(&TestMachine::a11));
    // It bubbled through every superstate.
    EXPECT_EQ(machine.calls, Actions({"a11/10", "a1/10", "a/10"}));
}

TEST_F(Engine, IsInFollowsTheSuperstates) {
    EXPECT_TRUE(machine.isIn(&QHsm::top));
    EXPECT_TRUE(machine.isIn(stateHandler(&TestMachine::a11)));
    EXPECT_TRUE(machine.isIn(stateHandler(&TestMachine::a1)));
    EXPECT_TRUE(machine.isIn(stateHandler(&TestMachine::a)));
    EXPECT_FALSE(machine.isIn(stateHandler(&TestMachine::b)));
    EXPECT_FALSE(machine.isIn(stateHandler(&TestMachine::a2)));
}

TEST_F(Engine, TransitionAcrossTheTreeExitsToTheCommonAncestorAndEntersDown) {
    machine.send(TO_B1);
    // b has no entry action, so only b1 is entered.
    EXPECT_EQ(machine.actions, Actions({"a11:exit", "a1:exit", "a:exit", "b1:entry"}));
    EXPECT_TRUE(machine.inState(&TestMachine::b1));

    machine.clear();
    machine.send(TO_A11);
    EXPECT_EQ(machine.actions, Actions({"b1:exit", "b:exit", "a:entry", "a1:entry", "a11:entry"}));
    EXPECT_TRUE(machine.inState(&TestMachine::a11));
}

TEST_F(Engine, ReplayCallsOnlyTheRecordedHandlersWhateverLeafLiesBelowTheSource) {
    machine.send(TO_B1); // recorded from leaf a11
    machine.send(TO_A11);
    machine.send(TO_A2);
    ASSERT_TRUE(machine.inState(&TestMachine::a211));
    machine.clear();

    machine.send(TO_B1); // replayed from leaf a211
    EXPECT_EQ(machine.actions, Actions({"a211:exit", "a21:exit", "a:exit", "b1:entry"}));
    EXPECT_TRUE(machine.inState(&TestMachine::b1));

    // After the exits below the source (which ask for superstates), the replay triggers exactly
    // the recorded steps: no superstate queries, no call of b, which has no entry action.
    const std::vector<std::string> recordedPart(machine.calls.end() - 2, machine.calls.end());
    EXPECT_EQ(recordedPart, Actions({"a/3", "b1/2"}));
    for (const std::string& call : machine.calls)
        EXPECT_NE(call.rfind("b/", 0), 0u) << "b was asked during the replay: " << call;
}

} // namespace
