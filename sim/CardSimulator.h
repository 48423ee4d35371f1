#pragma once

#include "platform/PseudoTerminal.h"
#include "sim/TimerQueue.h"
#include "sim/CardBus.h"
#include "sim/CardProfile.h"
#include "sim/CardState.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// One simulated card: two pseudo-terminals as its application and diagnostic ports, its nodes
// published in the simulated machine's devices/ folder, its firmware state in a state file, and
// the card's AT dialogue. Other parts of the card (the loader) plug in through command handlers,
// raw receivers and timers.
namespace cardsim {

enum class Port { application = 0, diagnostic = 1 };
constexpr size_t kPortCount = 2;

struct CardFaults {
    // Answers nothing at all, not even the echo.
    bool silent = false;
    // Commands (in capitals, as sent) answered "ERROR".
    std::set<std::string> errorCommands;
    // Resets at once on a mode change, without answering it.
    bool noModeAnswer = false;
    // Reported instead of the state's LM code when not empty.
    std::string lmCode;
    // Answers go out in pieces of this many bytes (0: in one piece), with a pause between.
    size_t pieceSize = 0;
    uint64_t piecePauseMs = 0;
};

struct SimulatorOptions {
    // The simulated machine's folder.
    std::string root;
    // Names the device file (DIR/devices/NAME.json) and the default state file.
    std::string name = "cardsim";
    std::string profile = "QT0880";
    // Empty: DIR/cardsim/NAME.state.json.
    std::string stateFile;
    // Mode the card starts in, overriding the state file (-1: as stored).
    int startMode = -1;
    // How long the card stays off the bus when it re-enumerates.
    uint64_t modeChangeDelayMs = 2000;
    // Between answering a mode change and leaving the bus.
    uint64_t leaveDelayMs = 200;
    // Between the publishing stages of a device profile (-1: the profile's own delays).
    int64_t nodeDelayMs = -1;
    CardFaults faults;
    // Not null: the card comes onto this bus and serves the terminals it gives instead of
    // publishing a device file (then `root` is needed only for the default state file). Outlives
    // the simulator.
    CardBus* bus = nullptr;
    // Not empty: a wine prefix's dosdevices folder. The card's ports are published as COM ports
    // whose links in that folder point at the card's current terminals while it is on the bus:
    // "COM5" (application) and "COM6" (diagnostic) on its first arrival, COM7 and COM8 on the
    // next, and so on alternating, so that Windows programs under wine follow it across mode
    // changes.
    std::string comLinkFolder;
};

// The card as the bus sees it.
struct Presence {
    bool present = false;
    // Counts the arrivals since the start.
    int generation = 0;
    // Port names as published ("pts/7"); empty for a port the profile lacks.
    std::string applicationPort;
    std::string diagnosticPort;
};

class CardSimulator;

// Handles one command line (`upper` is the line in capitals); true when it did. Handlers answer
// through the simulator and run on its thread, before the built-in commands.
using CommandHandler =
    std::function<bool(CardSimulator&, Port, const std::string& line, const std::string& upper)>;
// Receives the raw bytes of a port while installed, instead of the AT line reader.
using RawReceiver = std::function<void(CardSimulator&, Port, const uint8_t*, size_t)>;
// Hears of every arrival (on the simulator's thread).
using ArrivalListener = std::function<void(const Presence&)>;

class CardSimulator {
public:
    explicit CardSimulator(SimulatorOptions options);
    ~CardSimulator();
    CardSimulator(const CardSimulator&) = delete;
    CardSimulator& operator=(const CardSimulator&) = delete;

    // Before start or run.
    void addCommandHandler(CommandHandler handler);
    void setArrivalListener(ArrivalListener listener);

    // Comes onto the bus and serves on its own thread. False with `problem` set on failure.
    bool start(std::string* problem = nullptr);
    // Comes onto the bus and serves on the calling thread until requestStop.
    bool run(std::string* problem = nullptr);
    // Async-signal-safe.
    void requestStop();
    // Stops, leaves the bus (removing the device file) and joins the thread.
    void stop();

    // Any thread.
    Presence presence() const;
    // Waits until the card is on the bus with a generation above `afterGeneration`.
    bool waitForArrival(int afterGeneration, uint64_t timeoutMs, Presence* seen = nullptr) const;
    // Waits until the card of `generation` has left the bus.
    bool waitForDeparture(int generation, uint64_t timeoutMs) const;
    std::vector<std::string> receivedCommands() const;
    // Waits until at least `count` command lines have been received since the last clear; a
    // silent card answers nothing, so this is the only sign it took a command.
    bool waitForReceivedCommands(size_t count, uint64_t timeoutMs) const;
    void clearReceivedCommands();
    CardState stateSnapshot() const;
    CardFaults faults() const;
    void setFaults(const CardFaults& faults);
    std::string deviceFile() const { return deviceFile_; }
    std::string stateFile() const { return stateFile_; }

    // The simulator's thread only (handlers, receivers, timers).
    void reply(Port port, const std::string& text);
    void sendRaw(Port port, const void* data, size_t size);
    void setRawReceiver(Port port, RawReceiver receiver);
    // Handles bytes as if they had arrived on `port`: a raw receiver hands back what is not
    // for it this way.
    void feed(Port port, const uint8_t* data, size_t size);
    CardState& state() { return state_; }
    void saveState();
    void addTimer(uint64_t afterMs, std::function<void()> action);
    // Leaves the bus after `afterMs` and comes back `comeBackAfterMs` later (kInfiniteMs: never),
    // but stays off the bus no less than the reaction floor.
    void scheduleLeave(uint64_t afterMs, uint64_t comeBackAfterMs);
    // The reset that follows an answer: leaves after `afterMs`, no sooner than the reaction floor
    // and not while the updater has not read what the card sent (waiting up to kUnreadWaitRealMs
    // for it), then stays off the bus as scheduleLeave does.
    void scheduleLeaveAfterAnswer(uint64_t afterMs, uint64_t comeBackAfterMs);
    bool echo() const { return echo_; }
    void setEcho(bool on) { echo_ = on; }
    const SimulatorOptions& options() const { return options_; }

    // The number of the application port's COM name when the ports are linked for wine.
    static constexpr size_t kFirstComPort = 5;

private:
    bool prepare(std::string* problem);
    void serve();
    bool comeOnBus();
    bool publishDeviceProfile(const std::string& applicationPort,
                              const std::string& diagnosticPort);
    void leaveBus();
    bool arriveOnBus(std::string names[kPortCount]);
    void readPort(size_t index);
    void dispatch(Port port, const std::string& line);
    bool builtInCommand(Port port, const std::string& upper);
    bool answerUnread() const;

    std::string comLinkPath(size_t index) const;
    // The COM number of the application port while on the bus (the diagnostic port's is next).
    size_t comBase_ = kFirstComPort + kPortCount;
    bool linkComPort(size_t index, std::string& portName);

    SimulatorOptions options_;
    const CardProfile* profile_ = nullptr;
    std::string deviceFile_;
    std::string stateFile_;
    CardState state_;
    bool echo_ = true;
    platform::PseudoTerminal ports_[kPortCount];
    std::string lines_[kPortCount];
    bool lineEndedWithCr_[kPortCount] = {};
    RawReceiver rawReceivers_[kPortCount];
    std::vector<CommandHandler> handlers_;
    ArrivalListener arrivalListener_;
    TimerQueue timers_;

    platform::PseudoTerminalWakeup wakeup_;
    std::atomic<bool> stopRequested_{false};
    std::thread thread_;
    bool served_ = false;
    // The mode and generation the card arrived on the bus with, for its leaving.
    int busMode_ = -1;
    int busGeneration_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Presence presence_;
    std::vector<std::string> received_;
    CardState published_;
    CardFaults faults_;
};

} // namespace cardsim
