#pragma once

#include <cstdint>
#include <functional>

// Changes of the card state. The state lives in the current-card record; the reactions to a
// change (notifications, timers) are registered by the card state machine.
namespace detection {

// The log word of a state: "Stopped", "Stopping", "Starting", "Started", "Suspended",
// "Unknown".
const char* cardStateWord(uint32_t state);

// Unconditional change: stores the state, logs it, empties the record for CardStateStopped,
// then runs the observer.
void ChangeCardState(uint32_t state, uint32_t reason);

// ChangeCardState unless the state is already `state`.
void SetCardState(uint32_t state, uint32_t reason);

// Called after every state change with the new state and the reason.
using CardStateObserver = std::function<void(uint32_t state, uint32_t reason)>;
void setCardStateObserver(CardStateObserver observer);

} // namespace detection
