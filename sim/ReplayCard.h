#pragma once

#include "platform/PseudoTerminal.h"
#include "sim/SessionReplay.h"
#include "sim/TimerQueue.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

// A simulated card that does what a recorded card did: it publishes the recorded device trees
// (its ports as pseudo-terminals of its own), answers each command with the answer recorded for
// the same command on the same port (repeated commands in their recorded order) and each download
// frame with the recorded acknowledgement, and leaves and comes back as the recorded card did,
// its delays scaled by the time scale (a reset waits until its answer has been read). Commands are
// answered as the card answered them while on the bus the same time (a mode's answers stay with
// that mode); a command asked more often than recorded, as a status poll is when the timing
// differs, gets its last recorded answer again. What the recording does not hold is a divergence:
// logged with what the recording expected next, a command answered "ERROR", a frame asked again
// (0x09).
namespace cardsim {

struct ReplayOptions {
    std::string root;
    // DIR/devices/NAME.json.
    std::string name = "cardsim";
};

class ReplayCard {
public:
    ReplayCard(ReplayOptions options, SessionReplay replay);
    ~ReplayCard();
    ReplayCard(const ReplayCard&) = delete;
    ReplayCard& operator=(const ReplayCard&) = delete;

    // Serves on the calling thread until requestStop. False with `problem` on failure.
    bool run(std::string* problem);
    // Async-signal-safe.
    void requestStop();

    size_t divergences() const { return divergences_.load(); }

private:
    struct PortState {
        std::unique_ptr<platform::PseudoTerminal> terminal;
        std::string received;
        // The download in progress: the block size and the payload bytes not yet accepted.
        uint32_t blockSize = 0;
        uint32_t payloadLeft = 0;
    };

    bool arrive(size_t presence, std::string* problem);
    bool publish(const std::string& tree, std::string* problem);
    bool publishTree(const std::string& tree, std::string* problem);
    void leave();
    // Off the bus, then back as the recording's presence `next` after its recorded pause (no
    // shorter than the reaction floor).
    void leaveAndComeBack(size_t next);
    bool answerUnread() const;
    void receive(const std::string& role, PortState& port);
    // The length of the frame at the start of `bytes`, 0 while more must arrive first.
    size_t frameLength(const PortState& port, const std::string& bytes) const;
    void frameReceived(const std::string& role, PortState& port, const std::string& frame);
    void commandReceived(const std::string& role, PortState& port, const std::string& line);
    // Sends the exchange's answer; `again` for a repeat, which does not make the card leave.
    void play(const Exchange& exchange, const std::string& role, bool again = false);
    void diverge(const std::string& what);
    void send(const std::string& role, const std::string& bytes);
    void addTimer(double afterMs, std::function<void()> action);

    ReplayOptions options_;
    SessionReplay replay_;
    std::string deviceFile_;
    std::map<std::string, PortState> ports_;
    // Commands by presence, port role and text, frames by port role, each in recorded order;
    // the last answer given to each command.
    using CommandKey = std::tuple<size_t, std::string, std::string>;
    std::map<CommandKey, std::deque<size_t>> commands_;
    std::map<CommandKey, size_t> lastAnswers_;
    std::map<std::string, std::deque<size_t>> frames_;
    std::vector<bool> played_;
    size_t presence_ = 0;
    // Counts the arrivals: a timer of an earlier presence does nothing after a departure.
    uint64_t generation_ = 0;
    TimerQueue timers_;
    // Counted on the replay thread, read by whoever asks while it runs.
    std::atomic<size_t> divergences_{0};
    platform::PseudoTerminalWakeup wakeup_;
    std::atomic<bool> stopRequested_{false};
};

} // namespace cardsim
