#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Pseudo-terminals stand in for a card's serial ports: the owner (the card simulator, a test)
// holds the master side, the code under test opens the slave side by its device path.
namespace platform {

// Wakes a waitForInput from another thread or from a signal handler.
class PseudoTerminalWakeup {
public:
    PseudoTerminalWakeup();
    ~PseudoTerminalWakeup();
    PseudoTerminalWakeup(const PseudoTerminalWakeup&) = delete;
    PseudoTerminalWakeup& operator=(const PseudoTerminalWakeup&) = delete;

    // Async-signal-safe.
    void notify();
    // Takes back the notifications so far.
    void clear();
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
};

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates a master in raw mode and keeps its slave open too, so that the master never sees a
    // hang-up while no client is connected. False on failure.
    bool open();
    // Serves the master of a terminal someone else made and keeps ("ttyUSB2" for an emulated
    // device node): works on its own duplicate of `master` and, like open, keeps the slave open.
    // `portName` is the name the device tree publishes. False on failure.
    bool adopt(int master, const std::string& portName);
    // Closes both sides: a client that still has the slave open sees the device vanish.
    void close();
    bool isOpen() const { return master_ >= 0; }

    // "pts/7": the port name as the device tree publishes it.
    std::string portName() const { return portName_; }
    // "/dev/pts/7".
    std::string slavePath() const { return "/dev/" + portName_; }

    // Reads what is waiting, up to `capacity` bytes, without blocking. -1 when closed or failed.
    long readAvailable(void* buffer, size_t capacity);
    // Writes everything, waiting while the slave's input queue is full, but no longer than
    // `timeoutMs` logical milliseconds in all (a client that never reads must not hang the
    // owner). False on failure or timeout.
    bool writeAll(const void* data, size_t size, uint64_t timeoutMs = kDefaultWriteTimeoutMs);
    bool writeAll(const std::string& text) { return writeAll(text.data(), text.size()); }

    static constexpr uint64_t kDefaultWriteTimeoutMs = 30000;
    // Discards what the client wrote and has not been read.
    void discardInput();
    // Bytes written to the client that it has not read yet (0 when closed).
    size_t unreadByClient() const;

    int descriptor() const { return master_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string portName_;
};

// Waits until one of `terminals` has input, `timeoutMs` logical milliseconds pass (kInfiniteMs:
// no limit) or `wakeup` is notified. Returns the index of a terminal with input, -1 on timeout,
// -2 when woken.
int waitForInput(const std::vector<PseudoTerminal*>& terminals, uint64_t timeoutMs,
                 PseudoTerminalWakeup* wakeup);

} // namespace platform
