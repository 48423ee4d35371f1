#include "detection/CardState.h"

#include "detection/CurrentCard.h"
#include "detection/XLog.h"

namespace detection {
namespace {

CardStateObserver& observer() {
    static CardStateObserver* instance = new CardStateObserver;
    return *instance;
}

} // namespace

const char* cardStateWord(uint32_t state) {
    switch (state) {
    case CardStateStopped:
        return "Stopped";
    case CardStateStopping:
        return "Stopping";
    case CardStateStarting:
        return "Starting";
    case CardStateStarted:
        return "Started";
    case CardStateSuspended:
        return "Suspended";
    default:
        return "Unknown";
    }
}

void ChangeCardState(uint32_t state, uint32_t reason) {
    currentCard().info.state = state;
    XLogAt(1, "Nw: Card state changed to %s", cardStateWord(state));
    if (state == CardStateStopped)
        ResetCardInfo();
    if (observer())
        observer()(state, reason);
}

void SetCardState(uint32_t state, uint32_t reason) {
    if (currentCard().info.state == state)
        return;
    ChangeCardState(state, reason);
}

void setCardStateObserver(CardStateObserver newObserver) {
    observer() = std::move(newObserver);
}

} // namespace detection
