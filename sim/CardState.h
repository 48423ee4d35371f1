#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

// The firmware state of a simulated card. It lives in a state file so that it survives
// re-enumeration and restarts of the simulator.
namespace cardsim {

struct CardState {
    std::string manufacturer = "Velmar N.V.";
    std::string model = "QT0880";
    // One release behind the embedded package (3.19.0 of Mar 16 2010), so that an update flashes.
    std::string revision = "3.18.2";
    // "Jan 05 2010" and "10:00:00", as the identity text prints them.
    std::string date = "Jan 05 2010";
    std::string time = "10:00:00";
    std::string softwareVersion = "2.1.0";
    std::string lmCode = "QT0880-27315";
    std::array<int, 5> cbcSettings = {1, 1, 1, 1, 0};
    int mode = 0;
    // Further values that other parts of the card keep (the loader's, for instance).
    std::map<std::string, std::string> extra;

    // The identity lines of "ATI", without the final result code.
    std::string identityText() const;
};

// Reads a state file; false (and `state` unchanged) when it is missing or unreadable, with
// `problem` set for an unreadable one.
bool loadCardState(const std::string& path, CardState& state, std::string* problem = nullptr);
bool saveCardState(const std::string& path, const CardState& state, std::string* problem = nullptr);

} // namespace cardsim
