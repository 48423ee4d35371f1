#pragma once

#include <cstdint>

struct UpdateInfo;

namespace Kestrel {

// The cautions of the update page, top to bottom: the hint bit each shows and its English text.
struct Caution {
    uint32_t hint;
    const char* text;
};

constexpr int kCautionCount = 4;
extern const Caution kCautions[kCautionCount];

// The hint bits whose cautions the update page shows for the card `info` describes: a card in
// its recovery state shows the recovery caution instead of the comparison of the firmware.
uint32_t shownCautions(const UpdateInfo& info);

} // namespace Kestrel
