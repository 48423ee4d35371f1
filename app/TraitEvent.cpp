#include "app/TraitEvent.h"

#include "app/util/EnumName.h"

#include <wx/app.h>

wxDEFINE_EVENT(kestrelEVT_TRAIT, TraitEvent);
wxIMPLEMENT_DYNAMIC_CLASS(TraitEvent, wxEvent);

namespace {

constexpr const char* kKindNames =
    "ctetUnknown,ctetTerminateApp,ctetOpenWindow,ctetRefreshWindow,ctetCloseWindow,ctetProgress,"
    "ctetPower,";

} // namespace

TraitEvent::TraitEvent() : TraitEvent(ctetUnknown, 0, 0, 0) {}

TraitEvent::TraitEvent(int32_t kind, int32_t arg1, int32_t arg2, int32_t arg3)
    : wxEvent(0, kestrelEVT_TRAIT), kind(kind), arg1(arg1), arg2(arg2), arg3(arg3) {}

wxEvent* TraitEvent::Clone() const {
    return new TraitEvent(*this);
}

std::string TraitEvent::text() const {
    return "(" + Kestrel::enumName(ctetUnknown, kind, kKindNames) + " " + std::to_string(arg1) +
           " " + std::to_string(arg2) + " " + std::to_string(arg3) + ")";
}

void postTraitEvent(const TraitEvent& event) {
    if (wxAppConsole* application = wxAppConsole::GetInstance())
        application->AddPendingEvent(event);
}
