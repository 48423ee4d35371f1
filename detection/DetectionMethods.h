#pragma once

// The detection methods of the current card, read from its database record when the card is
// detected: each Determine function sets the method and event mask of its kind, falling back
// to polling with a warning for a malformed text; each Log function logs the result.
namespace detection {

constexpr unsigned kMethodDisabled = 0;

void DetermineModemDetectionMethod();
void DetermineAppPortDetectionMethod();
void DetermineApp2PortDetectionMethod();
void DetermineDbgPortDetectionMethod();
void LogModemDetectionMethod();
void LogAppPortDetectionMethod();
void LogApp2PortDetectionMethod();
void LogDbgPortDetectionMethod();

// All four, each followed by its log line, in the order modem, application port, secondary
// application port, diagnostics port.
void DetermineDetectionMethods();

} // namespace detection
