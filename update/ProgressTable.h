#pragma once

#include <cstdint>
#include <string>

// The vocabulary of UpdateTrait::progress: each notification code with the phase and action
// texts the progress dialog shows, and the mapping of the flashing library's own codes to it.
namespace Kestrel {

enum ProgressCode : int {
    kProgressUnknown = 0,
    kProgressPreparing = 2,
    kProgressUpdateEnd = 3,
    kProgressPreFlash = 4,
    kProgressCustomisation = 10,
    kProgressResetting = 12,
    kProgressPhaseBegin = 13,
    kProgressPhaseAdvance = 14,
    kProgressReadStart = 15,
    kProgressReadEnd = 16,
    kProgressReadFirmware = 18,
    kProgressLast = 21,
};

struct ProgressEntry {
    int phase;
    const char* phaseText;  // empty: no text
    const char* actionText; // empty: no text
};

// The row of a code; null for 0, 1 and codes above 21.
const ProgressEntry* progressEntry(int code);

// The phase text shown for a code (translated): empty for phase 1, "--" outside 1 to 6.
std::wstring progressPhaseText(int code);
// The action text (translated), or the untranslated "Unknown notification (code N)".
std::wstring progressActionText(int code);

// The application code of the flashing library's notification `libraryCode`; 0 when unlisted.
int mapLibraryProgress(int32_t libraryCode);

} // namespace Kestrel
