#pragma once

// The floor of a whole update at time scale 1: the fixed pauses and waits of the updater and
// the flashing library, plus the card simulator's own delays. The stages are cut at the
// progress notifications kestrel-headless prints:
//   check        two device reads: mode query, "ATI", "AT_VLMC?"; mode query, "AT_VISOV?"
//   to update    the one-second pause after a successful check
//   flashing     pre-flash in modem mode (mode query, mode change, the card's leave delay and
//                its time off the bus), pre-flash in loader mode (mode query), the flash (mode
//                change answered in place, CBC query, "ATE0", "AT%LOAD", the card's programming
//                messages, final code and reset delay) and the card's time off the bus after it
//   customise    mode query and three commands
//   final read   the two device reads again
// The block transfer itself is not in the floor, so a ratio to it can only err on the strict
// side.

#include "flasher/AtEngine.h"
#include "flasher/SerialPort.h"
#include "sim/CardSimulator.h"
#include "sim/Loader.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace bench {

// An exchange: read delay, the read that waits out its total time-out, and the close pause.
inline constexpr uint64_t kExchangeMs =
    flasher::kAtReadDelayMs + flasher::kReadTotalConstantMs + flasher::kCloseSettleMs;
inline constexpr uint64_t kModeReadMs = flasher::kModeQueryDelayMs + kExchangeMs;
// "ATE0" and "AT%LOAD" keep the port open for the download: no close pause.
inline constexpr uint64_t kOpenExchangeMs = flasher::kAtReadDelayMs + flasher::kReadTotalConstantMs;
inline constexpr uint64_t kDeviceReadMs =
    (kModeReadMs + 2 * kExchangeMs) + (kModeReadMs + kExchangeMs);
inline constexpr uint64_t kCheckExitPauseMs = 1000;
inline constexpr uint64_t kCustomisationMs = kModeReadMs + 3 * kExchangeMs;

inline uint64_t flashingFloorMs() {
    const cardsim::SimulatorOptions card;
    const cardsim::LoaderOptions loader;
    // The mode change's read ends when the card leaves; the close pause runs while it is away.
    const uint64_t preFlash =
        kModeReadMs + card.leaveDelayMs + card.modeChangeDelayMs + kModeReadMs;
    const uint64_t programming = loader.progressSteps.size() * loader.progressIntervalMs +
                                 loader.finalCodeDelayMs + loader.resetDelayMs;
    const uint64_t flash = 2 * kExchangeMs + 2 * kOpenExchangeMs + programming;
    return preFlash + flash + loader.comeBackDelayMs;
}

using Clock = std::chrono::steady_clock;

inline double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

inline uint64_t wholeUpdateFloorMs() {
    return 2 * kDeviceReadMs + kCheckExitPauseMs + flashingFloorMs() + kCustomisationMs;
}

// When each line of kestrel-headless's output came first and last, and its result.
struct UpdateTimeline {
    Clock::time_point start;
    Clock::time_point end;
    std::map<std::string, Clock::time_point> first;
    std::map<std::string, Clock::time_point> last;
    std::string result;

    void see(const std::string& line, Clock::time_point now) {
        first.emplace(line, now);
        last[line] = now;
        if (line.rfind("result ", 0) == 0)
            result = line.substr(std::string("result ").size());
    }
};

// Prints the stages beside their floors and the whole update beside the floor, to which
// `emulatedBusMs` is added: the time the card's bus itself took to announce its arrivals and
// departures. The ratio of the whole update to that floor.
inline double reportWholeUpdate(UpdateTimeline& timeline, double emulatedBusMs) {
    const struct {
        const char* name;
        Clock::time_point from, to;
        uint64_t floorMs;
    } stages[] = {
        {"start-up", timeline.start, timeline.first["progress 15 0"], 0},
        {"check", timeline.first["progress 15 0"], timeline.first["progress 16 0"], kDeviceReadMs},
        {"to update", timeline.first["progress 16 0"], timeline.first["progress 2 0"],
         kCheckExitPauseMs},
        {"flashing", timeline.first["progress 2 0"], timeline.first["progress 10 0"],
         flashingFloorMs()},
        {"customise", timeline.first["progress 10 0"], timeline.last["progress 15 0"],
         kCustomisationMs},
        {"final read", timeline.last["progress 15 0"], timeline.last["progress 16 0"],
         kDeviceReadMs},
        {"ending", timeline.last["progress 16 0"], timeline.end, 0},
    };
    for (const auto& stage : stages)
        std::printf("  %-10s %8.1f ms  floor %6llu ms\n", stage.name,
                    msBetween(stage.from, stage.to),
                    static_cast<unsigned long long>(stage.floorMs));
    const double totalMs = msBetween(timeline.start, timeline.end);
    const double floorMs = static_cast<double>(wholeUpdateFloorMs()) + emulatedBusMs;
    const double ratio = totalMs / floorMs;
    if (emulatedBusMs > 0)
        std::printf("  (floor includes %.1f ms of the emulated bus's events)\n", emulatedBusMs);
    std::printf("whole update: %.1f ms, floor %.1f ms, ratio %.4f (result %s)\n", totalMs, floorMs,
                ratio, timeline.result.c_str());
    return ratio;
}

} // namespace bench
