#pragma once

#include <cstdint>

struct UpdateInfo;

namespace Kestrel {

// The parts of the card an update flashes.
struct FlashParts {
    bool firmware = false;
    bool software = false;
};

// Whether the card is the product whose firmware and software are flashed in two passes.
bool twoPassProduct(const UpdateInfo& info);

// Decides what a normal update of the card `info` describes flashes: each part the package holds
// that is newer than the card's (firmware by time stamp, software by version). A part the package
// does not hold keeps its value in `parts`. 0, or the flashing library's code of a failed
// comparison.
int32_t decideFlashParts(const UpdateInfo& info, FlashParts& parts);

// What an update of the card would flash, as a check reports it: a card in its recovery state has
// its firmware restored (with the software too on the two-pass product), any other card the
// parts decideFlashParts names.
int32_t partsAnUpdateWouldFlash(const UpdateInfo& info, FlashParts& parts);

} // namespace Kestrel
