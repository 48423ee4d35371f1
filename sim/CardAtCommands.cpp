#include "sim/CardSimulator.h"

#include <cstdlib>
#include <string>

// The card firmware's own AT commands.
namespace cardsim {

namespace {

const std::string kOk = "\r\nOK\r\n";

bool parseMode(const std::string& text, int& mode) {
    if (text.empty() || text.size() > 2)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    mode = std::atoi(text.c_str());
    return mode >= 0 && mode <= 4;
}

} // namespace

bool CardSimulator::builtInCommand(Port port, const std::string& upper) {
    if (upper == "ATI") {
        reply(port, "\r\n" + state_.identityText() + kOk);
        return true;
    }
    if (upper == "AT_VISOV?") {
        reply(port, "\r\n_VISOV: " + state_.softwareVersion + "\r\n" + kOk);
        return true;
    }
    if (upper == "AT_VLMC?") {
        const std::string wrongCode = faults().lmCode;
        reply(port, "\r\n_VLMC: " + (wrongCode.empty() ? state_.lmCode : wrongCode) + "\r\n" + kOk);
        return true;
    }
    if (upper == "AT%MODE?") {
        reply(port, "\r\n%MODE: " + std::to_string(state_.mode) + "\r\n" + kOk);
        return true;
    }
    if (upper == "AT%ICBC") {
        std::string values;
        for (const int value : state_.cbcSettings)
            values += (values.empty() ? "" : ", ") + std::to_string(value);
        reply(port, "\r\n%ICBC: " + values + "\r\n" + kOk);
        return true;
    }
    if (upper == "ATE0" || upper == "ATE1") {
        echo_ = upper == "ATE1";
        reply(port, kOk);
        return true;
    }
    const std::string modePrefix = "AT%MODE=";
    if (upper.compare(0, modePrefix.size(), modePrefix) == 0) {
        int mode = 0;
        if (!parseMode(upper.substr(modePrefix.size()), mode))
            return false;
        if (mode == state_.mode) {
            reply(port, kOk);
            return true;
        }
        const bool answers = !faults().noModeAnswer;
        if (answers)
            reply(port, kOk);
        state_.mode = mode;
        saveState();
        // The card re-enumerates in its new mode: off the bus, then back with new ports.
        if (answers)
            scheduleLeaveAfterAnswer(options_.leaveDelayMs, options_.modeChangeDelayMs);
        else
            scheduleLeave(0, options_.modeChangeDelayMs);
        return true;
    }
    return false;
}

} // namespace cardsim
