#pragma once

#include "app/util/Log.h"

#include <wx/event.h>

#include <cstdint>
#include <string>

enum TraitEventKind : int32_t {
    ctetUnknown = 0,
    ctetTerminateApp = 1,
    ctetOpenWindow = 2,
    ctetRefreshWindow = 3,
    ctetCloseWindow = 4,
    ctetProgress = 5,
    ctetPower = 6,
    ctetEnableNext = 7,
    ctetDisableNext = 8,
};

// A request of a trait, carried to the GUI thread through the framework's pending-event queue.
class TraitEvent : public wxEvent {
public:
    TraitEvent();
    TraitEvent(int32_t kind, int32_t arg1, int32_t arg2, int32_t arg3);

    wxEvent* Clone() const override;

    // "(kindName arg1 arg2 arg3)"
    std::string text() const;

    int32_t kind;
    int32_t arg1;
    int32_t arg2;
    int32_t arg3;

private:
    wxDECLARE_DYNAMIC_CLASS(TraitEvent);
};

wxDECLARE_EVENT(kestrelEVT_TRAIT, TraitEvent);

// Queues a clone of the event for the GUI thread on the application object; before the
// application exists (or after it is gone) the event is dropped.
void postTraitEvent(const TraitEvent& event);
