#include "app/QHsm.h"

#include <cassert>

namespace {

// The engine's own events, passed whenever it triggers a handler itself.
const HsmEvent kReservedEvents[4] = {
    {Q_NO_SIGNAL, 0, 0, 0},
    {Q_INIT_SIG, 0, 0, 0},
    {Q_ENTRY_SIG, 0, 0, 0},
    {Q_EXIT_SIG, 0, 0, 0},
};

constexpr int kEntryPathSlots = 8;

// Collects the steps of a transition while it is first performed.
class ChainRecorder {
public:
    explicit ChainRecorder(TransitionChain& record) : record(record) {}

    void add(StateHandler state, uint16_t signal) {
        assert(steps < TransitionChain::kMaxSteps && "transition records at most 7 steps");
        record.chain[steps] = state;
        work = static_cast<uint16_t>((work >> 2) | (signal << 14));
        ++steps;
    }

    void finish(StateHandler leaf) {
        assert(steps < TransitionChain::kSlots && "transition chain holds 8 slots");
        record.chain[steps] = leaf;
        record.actions = static_cast<uint16_t>((work >> (15 - 2 * steps)) | 1);
    }

private:
    TransitionChain& record;
    uint16_t work = 0;
    int steps = 0;
};

} // namespace

QHsm::QHsm(StateHandler initial) : currentState(stateHandler(&QHsm::top)), sourceState(initial) {}

StateResult QHsm::top(const HsmEvent*) {
    return nullptr;
}

StateHandler QHsm::trigger(StateHandler state, uint16_t signal) {
    return (this->*state)(&kReservedEvents[signal]).handler;
}

void QHsm::init() {
    (this->*sourceState)(nullptr);
    StateHandler state = currentState;
    trigger(state, Q_ENTRY_SIG);
    // An entry action may have moved the machine on by dispatching an event itself; the initial
    // transition still belongs to the state just entered.
    while (trigger(state, Q_INIT_SIG) == nullptr) {
        state = currentState;
        trigger(state, Q_ENTRY_SIG);
    }
    runDeferredTransition();
}

void QHsm::dispatch(const HsmEvent& event) {
    sourceState = currentState;
    do {
        sourceState = (this->*sourceState)(&event).handler;
    } while (sourceState != nullptr);
    runDeferredTransition();
}

bool QHsm::isIn(StateHandler state) {
    for (StateHandler s = currentState; s != nullptr; s = trigger(s, Q_NO_SIGNAL)) {
        if (s == state)
            return true;
    }
    return false;
}

void QHsm::deferTransition(TransitionChain& record, StateHandler source, StateHandler target) {
    deferredRecord = &record;
    deferredSource = source;
    deferredTarget = target;
}

void QHsm::runDeferredTransition() {
    while (deferredRecord != nullptr) {
        TransitionChain& record = *deferredRecord;
        const StateHandler target = deferredTarget;
        sourceState = deferredSource;
        deferredRecord = nullptr;
        transition(record, target);
    }
}

// The first run of a transition: performs every step from the source to the target's leaf and
// records the steps that a handler took.
class QHsm::TransitionRecording {
public:
    TransitionRecording(QHsm& machine, TransitionChain& record, StateHandler target)
        : machine(machine), recorder(record), target(target), source(machine.sourceState) {}

    void run() {
        exitToCommonAncestor();
        for (; path[cursor] != nullptr; --cursor)
            performAndRecord(path[cursor], Q_ENTRY_SIG);

        machine.currentState = target;
        for (StateHandler s = target; machine.trigger(s, Q_INIT_SIG) == nullptr;) {
            recorder.add(s, Q_INIT_SIG);
            s = machine.currentState;
            performAndRecord(s, Q_ENTRY_SIG);
        }
        recorder.finish(machine.currentState);
    }

private:
    StateHandler superstateOf(StateHandler state) { return machine.trigger(state, Q_NO_SIGNAL); }

    void performAndRecord(StateHandler state, uint16_t signal) {
        if (machine.trigger(state, signal) == nullptr)
            recorder.add(state, signal);
    }

    // Exits from the source up to the state it shares with the target and leaves `cursor` at
    // the outermost state of the entry path still to be entered.
    void exitToCommonAncestor() {
        if (source == target) {
            performAndRecord(source, Q_EXIT_SIG);
            return;
        }
        const StateHandler targetSuper = superstateOf(target);
        if (source == targetSuper)
            return;
        const StateHandler sourceSuper = superstateOf(source);
        if (sourceSuper == targetSuper) {
            performAndRecord(source, Q_EXIT_SIG);
            return;
        }
        if (sourceSuper == target) {
            // The target is the source's parent: it stays entered.
            performAndRecord(source, Q_EXIT_SIG);
            cursor = 0;
            return;
        }
        if (fillPathUpToSource(targetSuper))
            return;
        performAndRecord(source, Q_EXIT_SIG);
        for (StateHandler s = sourceSuper; s != nullptr; s = superstateOf(s)) {
            if (findOnPath(s))
                return;
            performAndRecord(s, Q_EXIT_SIG);
        }
    }

    // Puts the target's superstates on the entry path; true when the source is one of them,
    // so that nothing is exited.
    bool fillPathUpToSource(StateHandler targetSuper) {
        path[2] = targetSuper;
        cursor = 2;
        for (StateHandler s = superstateOf(targetSuper); s != nullptr; s = superstateOf(s)) {
            if (s == source)
                return true;
            assert(cursor + 1 < kEntryPathSlots && "entry path holds the target and 6 ancestors");
            path[++cursor] = s;
        }
        return false;
    }

    // True when `state` is on the entry path; the entries then start below it.
    bool findOnPath(StateHandler state) {
        for (int slot = cursor; slot > 0; --slot) {
            if (path[slot] == state) {
                cursor = slot - 1;
                return true;
            }
        }
        return false;
    }

    QHsm& machine;
    ChainRecorder recorder;
    const StateHandler target;
    const StateHandler source;
    // Entry path: slot 0 is a sentinel, slot 1 the target, further slots its ancestors.
    StateHandler path[kEntryPathSlots] = {nullptr, target};
    int cursor = 1;
};

// The leaf below the source may differ between executions, so its exits are never recorded.
void QHsm::exitToSource() {
    for (StateHandler s = currentState; s != sourceState;) {
        const StateHandler superstate = trigger(s, Q_EXIT_SIG);
        s = superstate != nullptr ? superstate : trigger(s, Q_NO_SIGNAL);
    }
}

void QHsm::replayTransition(const TransitionChain& record) {
    int slot = 0;
    for (uint16_t steps = record.actions >> 1; steps != 0; steps >>= 2, ++slot)
        trigger(record.chain[slot], steps & 3);
    currentState = record.chain[slot];
}

void QHsm::transition(TransitionChain& record, StateHandler target) {
    exitToSource();
    if (record.actions != 0) {
        replayTransition(record);
        return;
    }
    TransitionRecording(*this, record, target).run();
}
