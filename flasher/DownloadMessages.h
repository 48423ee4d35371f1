#pragma once

// The messages a device sends while it programs a received image.

#include <cstddef>

namespace flasher {

class AtEngine;

struct ProgrammingError {
    const char* key;       // what the device's text contains
    const char* logText;   // logged at level 1
    const char* lastError; // the library's last-error text
};

// The device's error texts, in the order they are looked for.
extern const ProgrammingError kProgrammingErrors[];
extern const size_t kProgrammingErrorCount;

// Called by the AT engine in programming mode with all text collected since the last accepted
// message. Progress lines notify code 101; the device's error texts are rejected (they stay in
// the answer, which then ends with "ERROR").
bool handleProgrammingMessage(AtEngine& engine, const char* text);

} // namespace flasher
