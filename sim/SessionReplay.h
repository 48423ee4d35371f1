#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

// A recorded session with a card (the file `kestrel --record` writes), read as what the card
// did: which answer followed which command or download frame on which of its ports, when it left
// the bus and when it came back with which device tree.
namespace cardsim {

// One piece of an answer, `afterMs` logical milliseconds after the piece before it (the first
// after the command).
struct AnswerPiece {
    double afterMs = 0;
    std::string bytes;
};

// A command or frame the updater sent and what the card did about it.
struct Exchange {
    // The role of the port ("Velmar Application Interface").
    std::string role;
    // A command line without its line end, or empty for a frame.
    std::string command;
    // A download frame: "startDownload" or "data", its length and its XOR-16.
    std::string frameKind;
    uint32_t frameLength = 0;
    uint32_t frameChecksum = 0;
    std::vector<AnswerPiece> answer;
    // The card left the bus `leaveAfterMs` after the command reached it (not before the last
    // piece of its answer).
    bool leaves = false;
    double leaveAfterMs = 0;
    // Its position in the recording, for telling where a replay left it.
    size_t order = 0;
    // The presence of the card it belongs to (SessionReplay::presences).
    size_t presence = 0;

    // "AT%MODE=1" or "data frame of 65280 bytes, checksum 14d7".
    std::string description() const;
};

// The card on the bus, from an arrival to its departure: its device trees (device files) with
// the time each was published after the arrival, and the time it stayed away before.
struct RecordedPresence {
    double comeBackAfterMs = 0;
    std::vector<std::pair<double, std::string>> trees;
};

class SessionReplay {
public:
    // False with `problem` when `text` is not a recording this program can replay.
    bool parse(const std::string& text, std::string& problem);

    const std::vector<Exchange>& exchanges() const { return exchanges_; }
    // The first presence is the card at the start (no trees when it was not plugged in).
    const std::vector<RecordedPresence>& presences() const { return presences_; }
    const std::string& packageFirmware() const { return packageFirmware_; }

private:
    bool parseRecording(const std::string& text, std::string& problem);

    std::vector<Exchange> exchanges_;
    std::vector<RecordedPresence> presences_;
    std::string packageFirmware_;
};

// The role of a port node of a device file: its friendly name without the port's name in
// parentheses, or its description.
std::string portRole(const std::string& friendlyName, const std::string& deviceDesc,
                     const std::string& portName);

} // namespace cardsim
