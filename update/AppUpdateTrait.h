#pragma once

#include "app/UpdateTrait.h"

class StateMachine;
class TraitEvent;

// The update side of the workflow: starts the update thread and turns every progress report
// into a TraitEvent for the GUI thread.
class AppUpdateTrait : public UpdateTrait {
public:
    // Hands an event to the GUI thread. The default posts it to the application object, and
    // drops it when there is none.
    using EventPoster = void (*)(const TraitEvent& event);

    explicit AppUpdateTrait(StateMachine& machine);
    AppUpdateTrait();

    int startUpdate() override;
    int progress(int code, int value) override;

    // For hosts without an application object (the headless driver); null restores the default.
    static void setEventPoster(EventPoster poster);

    // A host's answer to a progress event on the machine's thread: true for the end of the
    // update, which it passes on to the machine (sigDone after success, sigError with the
    // failure's code); false for any other code.
    static bool dispatchEndOfUpdate(StateMachine& machine, int code, int value);

private:
    StateMachine& machine;
};
