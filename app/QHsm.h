#pragma once

#include <cstdint>

// A small hierarchical state machine engine. States are member functions of the machine; each
// answers every event it does not handle with its superstate. Transitions are static: each
// transition site owns a zero-initialised TransitionChain, which records the steps the first
// time the transition runs and replays them afterwards.

// Signals 0 to 3 belong to the engine.
enum : uint16_t {
    Q_NO_SIGNAL = 0,
    Q_INIT_SIG = 1,
    Q_ENTRY_SIG = 2,
    Q_EXIT_SIG = 3,
    Q_USER_SIG = 4,
};

struct HsmEvent {
    uint16_t signal;
    // Set by senders, read by nobody.
    uint8_t first;
    uint8_t second;
    // Filled only for signals whose senders define it, e.g. the result code of a failure.
    int32_t parameter;
};

class QHsm;
struct StateResult;

// A state handler: returns null when it handled the event (for the empty signal: when it has no
// superstate), its superstate otherwise.
using StateHandler = StateResult (QHsm::*)(const HsmEvent*);

struct StateResult {
    StateResult(std::nullptr_t) : handler(nullptr) {}
    StateResult(StateHandler superstate) : handler(superstate) {}
    StateHandler handler;
};

// Makes a handler of a derived machine usable as a StateHandler.
template <class Machine>
StateHandler stateHandler(StateResult (Machine::*handler)(const HsmEvent*)) {
    return static_cast<StateHandler>(handler);
}

struct TransitionChain {
    static constexpr int kSlots = 8;
    static constexpr int kMaxSteps = 7;
    StateHandler chain[kSlots];
    // 0: not recorded yet. Otherwise bit 0 is set and bits 1+2i, 2+2i hold the reserved signal
    // that step i sends to chain[i]; the slot after the last step holds the leaf reached.
    uint16_t actions;
};

class QHsm {
public:
    virtual ~QHsm() = default;

    // Takes the topmost initial transition.
    void init();

    // Delivers one event and runs it to completion on the calling thread.
    void dispatch(const HsmEvent& event);

    // True if `state` is the current leaf or one of its superstates.
    bool isIn(StateHandler state);

    StateHandler currentStateHandler() const { return currentState; }

    StateResult top(const HsmEvent* event);

protected:
    explicit QHsm(StateHandler initial);

    // Called from a handler while it handles a dispatched event; the handler returns null
    // right after it.
    void transition(TransitionChain& record, StateHandler target);

    // Requests a transition from an entry action: it runs from `source` once the transition in
    // progress has finished (at the end of the running init or dispatch).
    void deferTransition(TransitionChain& record, StateHandler source, StateHandler target);

    StateHandler currentState;
    StateHandler sourceState;

private:
    class TransitionRecording;

    StateHandler trigger(StateHandler state, uint16_t signal);
    void runDeferredTransition();
    void exitToSource();
    void replayTransition(const TransitionChain& record);

    TransitionChain* deferredRecord = nullptr;
    StateHandler deferredSource = nullptr;
    StateHandler deferredTarget = nullptr;
};
