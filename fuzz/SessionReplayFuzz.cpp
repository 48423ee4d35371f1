#include "sim/SessionReplay.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

// Reads arbitrary bytes as a recorded session: a recording is either refused with a reason or
// read into exchanges whose every answer and tree can be reached.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cardsim::SessionReplay replay;
    std::string problem;
    const bool parsed =
        replay.parse(std::string(reinterpret_cast<const char*>(data), size), problem);
    if (!parsed && problem.empty())
        std::abort();
    size_t bytes = 0;
    for (const cardsim::Exchange& exchange : replay.exchanges()) {
        if (exchange.order >= replay.exchanges().size() ||
            exchange.presence >= replay.presences().size())
            std::abort();
        for (const cardsim::AnswerPiece& piece : exchange.answer)
            bytes += piece.bytes.size();
        bytes += exchange.description().size();
    }
    for (const cardsim::RecordedPresence& presence : replay.presences()) {
        for (const auto& tree : presence.trees)
            bytes += tree.second.size();
    }
    return bytes == SIZE_MAX ? 1 : 0;
}
