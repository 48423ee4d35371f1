#include "app/StateMachine.h"

#include "app/DeviceTrait.h"
#include "app/TraitLog.h"
#include "app/UpdateTrait.h"
#include "app/WindowTrait.h"
#include "app/util/EnumName.h"
#include "platform/Clock.h"

using Kestrel::fsmLogger;

namespace {

constexpr const char* kSignalNames =
    "Q_NO_SIGNAL,Q_INIT_SIG,Q_ENTRY_SIG,Q_EXIT_SIG,sigArrival,sigDeparture,sigReset,sigCancel,"
    "sigError,sigUpdate,sigDone,sigSleep,sigRetry,";

// The pause between the end of a successful check and the update page.
constexpr uint64_t kPauseBeforeUpdatePageMs = 1000;

struct NamedState {
    StateResult (StateMachine::*handler)(const HsmEvent*);
    const char* name;
};

// In the order of the state numbers.
const NamedState kStates[] = {
    {&StateMachine::initialisation, "StateMachine::initialisation"},
    {&StateMachine::initFailure, "StateMachine::initFailure"},
    {&StateMachine::noCard, "StateMachine::noCard"},
    {&StateMachine::terminate, "StateMachine::terminate"},
    {&StateMachine::deviceInserted, "StateMachine::deviceInserted"},
    {&StateMachine::checkDevice, "StateMachine::checkDevice"},
    {&StateMachine::deviceUnusable, "StateMachine::deviceUnusable"},
    {&StateMachine::promptUser, "StateMachine::promptUser"},
    {&StateMachine::update, "StateMachine::update"},
    {&StateMachine::waitForDevice, "StateMachine::waitForDevice"},
    {&StateMachine::updateFailure, "StateMachine::updateFailure"},
    {&StateMachine::updateSuccess, "StateMachine::updateSuccess"},
    {&StateMachine::sleepAfterUpdate, "StateMachine::sleepAfterUpdate"},
};

const StateHandler kTop = &QHsm::top;

} // namespace

// Logs "StateMachine::" + the state's name + ": " + text, from inside a state handler.
#define STATE_LOG(text)                                                                            \
    KESTREL_DEBUG(fsmLogger(), "StateMachine::StateMachine::" << __func__ << ": " << text)

// Takes a transition from the handler that runs; every use is its own transition site.
#define TRANSITION_TO(target)                                                                      \
    do {                                                                                           \
        static TransitionChain chain_;                                                             \
        transition(chain_, stateHandler(&StateMachine::target));                                   \
    } while (false)

StateMachine& StateMachine::instance() {
    static StateMachine* machine = new StateMachine();
    return *machine;
}

StateMachine::StateMachine()
    : QHsm(stateHandler(&StateMachine::initial)), windowTrait(&defaultWindowTrait()),
      updateTrait(&defaultUpdateTrait()), deviceTrait(&defaultDeviceTrait()) {}

void StateMachine::init() {
    std::lock_guard<std::recursive_mutex> guard(dispatchLock);
    QHsm::init();
}

void StateMachine::dispatch(const HsmEvent& event) {
    std::lock_guard<std::recursive_mutex> guard(dispatchLock);
    KESTREL_DEBUG(fsmLogger(), "Dispatch event '" << signalName(event.signal) << "' in state '"
                                                  << stateName(currentState) << "'");
    QHsm::dispatch(event);
}

void StateMachine::dispatch(uint16_t signal, int32_t parameter) {
    dispatch(HsmEvent{signal, 0, 0, parameter});
}

bool StateMachine::isIn(StateHandler state) {
    std::lock_guard<std::recursive_mutex> guard(dispatchLock);
    return QHsm::isIn(state);
}

bool StateMachine::isIn(StateNumber state) {
    return isIn(handlerOf(state));
}

const char* StateMachine::stateName(StateHandler state) {
    for (const NamedState& named : kStates) {
        if (stateHandler(named.handler) == state)
            return named.name;
    }
    return "<UNKNOWN-STATE>";
}

StateHandler StateMachine::handlerOf(StateNumber state) {
    if (state < kInitialisation || state > kSleepAfterUpdate)
        return nullptr;
    return stateHandler(kStates[state - kInitialisation].handler);
}

int StateMachine::stateNumber(StateHandler state) {
    int number = kInitialisation;
    for (const NamedState& named : kStates) {
        if (stateHandler(named.handler) == state)
            return number;
        ++number;
    }
    return 0;
}

std::string StateMachine::signalName(uint16_t signal) {
    return Kestrel::enumName(Q_NO_SIGNAL, signal, kSignalNames);
}

void StateMachine::openWindow(int window, int parent, StateNumber opener) {
    windowTrait->openWindow(window, parent, opener);
}

bool StateMachine::updateTraitUsable() const {
    return updateTrait != nullptr && updateTrait->updateInfo != nullptr;
}

StateResult StateMachine::initial(const HsmEvent*) {
    KESTREL_DEBUG(fsmLogger(), "StateMachine::StateMachine::initial");
    currentState = stateHandler(&StateMachine::initialisation);
    return nullptr;
}

StateResult StateMachine::initialisation(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        openWindow(kWindowWelcome, 0, kInitialisation);
        deviceTrait->initialise();
        return nullptr;
    case sigArrival:
        STATE_LOG("device arrival");
        TRANSITION_TO(deviceInserted);
        return nullptr;
    case sigError:
        STATE_LOG("error");
        errorCode = event->parameter;
        TRANSITION_TO(initFailure);
        return nullptr;
    case sigDone:
        STATE_LOG("done");
        TRANSITION_TO(noCard);
        return nullptr;
    }
    return kTop;
}

StateResult StateMachine::initFailure(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        openWindow(kWindowError, kWindowWelcome, kInitFailure);
        return nullptr;
    case sigCancel:
    case sigDone:
        STATE_LOG("done");
        TRANSITION_TO(terminate);
        return nullptr;
    }
    return kTop;
}

StateResult StateMachine::noCard(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        openWindow(kWindowWelcome, 0, kNoCard);
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        return nullptr;
    case sigArrival:
        STATE_LOG("device arrival");
        TRANSITION_TO(deviceInserted);
        return nullptr;
    case sigDeparture:
        STATE_LOG("departure");
        return nullptr;
    case sigCancel:
        STATE_LOG("cancel");
        TRANSITION_TO(terminate);
        return nullptr;
    }
    return kTop;
}

StateResult StateMachine::terminate(const HsmEvent* event) {
    if (event->signal == Q_ENTRY_SIG) {
        STATE_LOG("entry");
        windowTrait->terminateApp();
        deviceTrait->terminate();
        return nullptr;
    }
    return kTop;
}

StateResult StateMachine::deviceInserted(const HsmEvent* event) {
    switch (event->signal) {
    case Q_NO_SIGNAL:
        return kTop;
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        return nullptr;
    case Q_INIT_SIG:
        STATE_LOG("init");
        currentState = stateHandler(&StateMachine::checkDevice);
        return nullptr;
    case sigArrival:
        STATE_LOG("arrival");
        return nullptr;
    case sigDeparture:
        STATE_LOG("device departure");
        TRANSITION_TO(noCard);
        return nullptr;
    case sigCancel:
        STATE_LOG("cancelled");
        TRANSITION_TO(terminate);
        return nullptr;
    case sigDone:
        STATE_LOG("done");
        TRANSITION_TO(terminate);
        return nullptr;
    }
    STATE_LOG("Ignoring event " << signalName(event->signal));
    return kTop;
}

StateResult StateMachine::checkDevice(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        // A new card's check starts clean: an earlier card's refusal must not keep this one's
        // update page from opening.
        errorCode = 0;
        openWindow(kWindowProgress, kWindowUpdate, kCheckDevice);
        deviceTrait->checkDevice(true);
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        windowTrait->closeWindow(kWindowProgress);
        if (errorCode == 0) {
            platform::sleepMs(kPauseBeforeUpdatePageMs);
            openWindow(kWindowUpdate, 0, kCheckDevice);
        }
        return nullptr;
    case sigError:
        STATE_LOG("error");
        errorCode = event->parameter;
        TRANSITION_TO(deviceUnusable);
        return nullptr;
    case sigDone:
        STATE_LOG("done");
        windowTrait->refreshWindow(kWindowUpdate);
        TRANSITION_TO(promptUser);
        return nullptr;
    }
    return stateHandler(&StateMachine::deviceInserted);
}

StateResult StateMachine::deviceUnusable(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        openWindow(kWindowError, kWindowUpdate, kDeviceUnusable);
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        windowTrait->closeWindow(kWindowError);
        return nullptr;
    case sigRetry:
        STATE_LOG("retry");
        TRANSITION_TO(checkDevice);
        return nullptr;
    }
    return stateHandler(&StateMachine::deviceInserted);
}

StateResult StateMachine::promptUser(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        return nullptr;
    case sigUpdate:
        STATE_LOG("update");
        errorCode = 0;
        TRANSITION_TO(update);
        return nullptr;
    }
    return stateHandler(&StateMachine::deviceInserted);
}

StateResult StateMachine::update(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        if (updateTraitUsable()) {
            openWindow(kWindowProgress, kWindowUpdate, kUpdate);
            updateTrait->startUpdate();
        } else {
            // No update can run: end as after an update that failed, once this transition
            // has finished.
            errorCode = kErrorNoUpdateTrait;
            static TransitionChain toFailure;
            deferTransition(toFailure, stateHandler(&StateMachine::update),
                            stateHandler(&StateMachine::updateFailure));
        }
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        windowTrait->closeWindow(kWindowProgress);
        return nullptr;
    case sigDeparture:
        STATE_LOG("ignore card departure");
        return nullptr;
    case sigReset:
        STATE_LOG("reset");
        TRANSITION_TO(waitForDevice);
        return nullptr;
    case sigCancel:
        STATE_LOG("cancel (ignored)");
        return nullptr;
    case sigError:
        STATE_LOG("error");
        errorCode = event->parameter;
        TRANSITION_TO(updateFailure);
        return nullptr;
    case sigDone:
        STATE_LOG("done");
        TRANSITION_TO(updateSuccess);
        return nullptr;
    }
    return stateHandler(&StateMachine::deviceInserted);
}

StateResult StateMachine::waitForDevice(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        return nullptr;
    case sigArrival:
        STATE_LOG("device arrival (re-insertion)");
        TRANSITION_TO(update);
        return nullptr;
    case sigDeparture:
        STATE_LOG("ignore device departure (device reset)");
        return nullptr;
    }
    return stateHandler(&StateMachine::update);
}

StateResult StateMachine::updateFailure(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        openWindow(kWindowError, kWindowUpdate, kUpdateFailure);
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        windowTrait->closeWindow(kWindowError);
        return nullptr;
    case sigDeparture:
        STATE_LOG("ignore device departure (error dialog)");
        return nullptr;
    case sigUpdate:
        STATE_LOG("update");
        errorCode = 0;
        windowTrait->refreshWindow(kWindowUpdate);
        TRANSITION_TO(update);
        return nullptr;
    case sigRetry:
        STATE_LOG("retry");
        errorCode = 0;
        windowTrait->refreshWindow(kWindowUpdate);
        TRANSITION_TO(promptUser);
        return nullptr;
    }
    return stateHandler(&StateMachine::deviceInserted);
}

StateResult StateMachine::updateSuccess(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        openWindow(kWindowSuccess, kWindowUpdate, kUpdateSuccess);
        return nullptr;
    case Q_EXIT_SIG:
        STATE_LOG("exit");
        windowTrait->closeWindow(kWindowSuccess);
        return nullptr;
    case sigDeparture:
        STATE_LOG("departure");
        TRANSITION_TO(terminate);
        return nullptr;
    case sigSleep:
        STATE_LOG("sleep");
        TRANSITION_TO(sleepAfterUpdate);
        return nullptr;
    }
    return stateHandler(&StateMachine::deviceInserted);
}

StateResult StateMachine::sleepAfterUpdate(const HsmEvent* event) {
    switch (event->signal) {
    case Q_ENTRY_SIG:
        STATE_LOG("entry");
        return nullptr;
    case sigArrival:
        STATE_LOG("device arrival");
        TRANSITION_TO(updateSuccess);
        return nullptr;
    case sigDeparture:
        STATE_LOG("ignore device departure (sleep)");
        return nullptr;
    }
    return stateHandler(&StateMachine::updateSuccess);
}
