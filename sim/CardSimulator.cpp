#include "sim/CardSimulator.h"

#include "sim/CardReaction.h"
#include "sim/DeviceProfile.h"

#include "platform/Clock.h"
#include "sim/DeviceFile.h"

#include <filesystem>
#include <algorithm>
#include <cctype>

namespace cardsim {

namespace {

constexpr size_t kReadChunk = 4096;
// A command line is kept up to this length; what follows is dropped (the cut line is then
// answered like any unknown command).
constexpr size_t kMaxLineLength = 4096;

std::string upperCase(const std::string& text) {
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

} // namespace

CardSimulator::CardSimulator(SimulatorOptions options) : options_(std::move(options)) {
    faults_ = options_.faults;
}

CardSimulator::~CardSimulator() {
    stop();
}

void CardSimulator::addCommandHandler(CommandHandler handler) {
    handlers_.push_back(std::move(handler));
}

void CardSimulator::setArrivalListener(ArrivalListener listener) {
    arrivalListener_ = std::move(listener);
}

bool CardSimulator::prepare(std::string* problem) {
    profile_ = findCardProfile(options_.profile);
    if (profile_ == nullptr) {
        if (problem != nullptr)
            *problem = "unknown profile '" + options_.profile + "'";
        return false;
    }
    if (options_.root.empty() && (options_.bus == nullptr || options_.stateFile.empty())) {
        if (problem != nullptr)
            *problem = "no simulated machine folder given";
        return false;
    }
    if (options_.bus == nullptr)
        deviceFile_ = deviceFilePath(options_.root, options_.name);
    stateFile_ = options_.stateFile.empty()
                     ? options_.root + "/cardsim/" + options_.name + ".state.json"
                     : options_.stateFile;
    state_ = profile_->factoryState;
    std::string loadProblem;
    if (!loadCardState(stateFile_, state_, &loadProblem) && !loadProblem.empty()) {
        if (problem != nullptr)
            *problem = loadProblem;
        return false;
    }
    if (options_.startMode >= 0)
        state_.mode = options_.startMode;
    saveState();
    if (!comeOnBus()) {
        if (problem != nullptr)
            *problem = "cannot create the pseudo-terminals or the device file " + deviceFile_;
        return false;
    }
    return true;
}

bool CardSimulator::start(std::string* problem) {
    if (served_ || !prepare(problem))
        return false;
    served_ = true;
    thread_ = std::thread([this] { serve(); });
    return true;
}

bool CardSimulator::run(std::string* problem) {
    if (served_ || !prepare(problem))
        return false;
    served_ = true;
    serve();
    return true;
}

void CardSimulator::requestStop() {
    stopRequested_.store(true);
    wakeup_.notify();
}

void CardSimulator::stop() {
    requestStop();
    if (thread_.joinable())
        thread_.join();
}

void CardSimulator::serve() {
    while (!stopRequested_.load()) {
        std::vector<platform::PseudoTerminal*> terminals;
        for (auto& port : ports_)
            terminals.push_back(&port);
        const int ready = platform::waitForInput(terminals, timers_.nextDelay(), &wakeup_);
        if (ready == -2) {
            wakeup_.clear();
            continue;
        }
        if (ready >= 0)
            readPort(static_cast<size_t>(ready));
        timers_.runDue();
    }
    leaveBus();
}

std::string CardSimulator::comLinkPath(size_t index) const {
    return options_.comLinkFolder + "/com" + std::to_string(comBase_ + index);
}

// Points the port's link at its terminal (replaced in one step, so that an opener never finds
// it missing while it moves) and names the port after it.
bool CardSimulator::linkComPort(size_t index, std::string& portName) {
    const std::string link = comLinkPath(index);
    const std::string temporary = link + ".new";
    std::error_code error;
    std::filesystem::remove(temporary, error);
    std::filesystem::create_symlink("/dev/" + portName, temporary, error);
    if (!error)
        std::filesystem::rename(temporary, link, error);
    if (error)
        return false;
    portName = "COM" + std::to_string(comBase_ + index);
    return true;
}

bool CardSimulator::comeOnBus() {
    std::string names[kPortCount];
    // Each arrival takes the other pair of COM names, as pseudo-terminals get new numbers: a
    // departure and return that a watcher sees as one change still shows new ports.
    comBase_ = comBase_ == kFirstComPort ? kFirstComPort + kPortCount : kFirstComPort;
    const bool wanted[kPortCount] = {profile_->applicationPort, profile_->diagnosticPort};
    for (size_t index = 0; index < kPortCount; ++index) {
        lines_[index].clear();
        lineEndedWithCr_[index] = false;
        rawReceivers_[index] = nullptr;
        if (!wanted[index] || options_.bus != nullptr)
            continue;
        if (!ports_[index].open())
            return false;
        names[index] = ports_[index].portName();
        if (!options_.comLinkFolder.empty() && !linkComPort(index, names[index]))
            return false;
    }
    echo_ = true;
    if (options_.bus != nullptr) {
        if (!arriveOnBus(names))
            return false;
    } else if (!profile_->deviceProfile.empty()) {
        if (!publishDeviceProfile(names[0], names[1]))
            return false;
    } else if (!writeDeviceFile(deviceFile_, cardDeviceFile(*profile_, names[0], names[1]))) {
        return false;
    }
    Presence arrived;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        presence_.present = true;
        ++presence_.generation;
        presence_.applicationPort = names[0];
        presence_.diagnosticPort = names[1];
        arrived = presence_;
    }
    changed_.notify_all();
    if (arrivalListener_)
        arrivalListener_(arrived);
    return true;
}

// The bus decides which ports the card has in its mode; the card serves what it is given.
bool CardSimulator::arriveOnBus(std::string names[kPortCount]) {
    int generation = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        generation = presence_.generation + 1;
    }
    BusTerminal terminals[kPortCount];
    if (!options_.bus->arrive(state_.mode, generation, terminals[0], terminals[1]))
        return false;
    busMode_ = state_.mode;
    busGeneration_ = generation;
    for (size_t index = 0; index < kPortCount; ++index) {
        if (terminals[index].master < 0)
            continue;
        if (!ports_[index].adopt(terminals[index].master, terminals[index].portName))
            return false;
        names[index] = terminals[index].portName;
    }
    return true;
}

// The first stage goes out now, each later one after its delay, as long as the card stays on
// the bus it arrived with.
bool CardSimulator::publishDeviceProfile(const std::string& applicationPort,
                                         const std::string& diagnosticPort) {
    const DeviceProfile* devices = findDeviceProfile(profile_->deviceProfile);
    if (devices == nullptr)
        return false;
    if (!writeDeviceFile(deviceFile_,
                         deviceProfileFile(*devices, applicationPort, diagnosticPort, 1)))
        return false;
    int generation = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        generation = presence_.generation + 1;
    }
    uint64_t dueMs = 0;
    for (size_t stage = 1; stage < stageCount(*devices); ++stage) {
        const uint64_t profileDelay =
            stage - 1 < devices->stageDelaysMs.size() ? devices->stageDelaysMs[stage - 1] : 0;
        dueMs +=
            options_.nodeDelayMs >= 0 ? static_cast<uint64_t>(options_.nodeDelayMs) : profileDelay;
        addTimer(dueMs, [this, devices, applicationPort, diagnosticPort, stage, generation] {
            const Presence now = presence();
            if (!now.present || now.generation != generation)
                return;
            writeDeviceFile(deviceFile_, deviceProfileFile(*devices, applicationPort,
                                                           diagnosticPort, stage + 1));
        });
    }
    return true;
}

void CardSimulator::leaveBus() {
    if (options_.bus == nullptr)
        removeDeviceFile(deviceFile_);
    // A link left behind would lead to whatever terminal gets the number next.
    for (size_t index = 0; index < kPortCount && !options_.comLinkFolder.empty(); ++index) {
        std::error_code ignored;
        std::filesystem::remove(comLinkPath(index), ignored);
    }
    for (size_t index = 0; index < kPortCount; ++index) {
        ports_[index].close();
        lines_[index].clear();
        rawReceivers_[index] = nullptr;
    }
    if (options_.bus != nullptr && busGeneration_ != 0) {
        options_.bus->leave(busMode_, busGeneration_);
        busGeneration_ = 0;
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        presence_.present = false;
        presence_.applicationPort.clear();
        presence_.diagnosticPort.clear();
    }
    changed_.notify_all();
}

void CardSimulator::readPort(size_t index) {
    uint8_t buffer[kReadChunk];
    const long got = ports_[index].readAvailable(buffer, sizeof buffer);
    if (got <= 0)
        return;
    feed(static_cast<Port>(index), buffer, static_cast<size_t>(got));
}

void CardSimulator::feed(Port port, const uint8_t* buffer, size_t size) {
    const auto index = static_cast<size_t>(port);
    size_t offset = 0;
    while (offset < size) {
        // The LF of a CR LF that ended the last command line still belongs to that line.
        if (lineEndedWithCr_[index] && buffer[offset] == '\n') {
            lineEndedWithCr_[index] = false;
            ++offset;
            continue;
        }
        lineEndedWithCr_[index] = false;
        if (rawReceivers_[index]) {
            RawReceiver receiver = rawReceivers_[index];
            receiver(*this, port, buffer + offset, size - offset);
            return;
        }
        const char c = static_cast<char>(buffer[offset++]);
        if (c == '\r' || c == '\n') {
            lineEndedWithCr_[index] = c == '\r';
            if (!lines_[index].empty()) {
                const std::string line = lines_[index];
                lines_[index].clear();
                dispatch(port, line);
                if (!ports_[index].isOpen())
                    return;
            }
            continue;
        }
        if (lines_[index].size() < kMaxLineLength)
            lines_[index] += c;
    }
}

void CardSimulator::dispatch(Port port, const std::string& line) {
    CardFaults faults;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        received_.push_back(line);
        faults = faults_;
    }
    changed_.notify_all();
    if (faults.silent)
        return;
    if (echo_)
        sendRaw(port, (line + "\r").data(), line.size() + 1);
    const std::string upper = upperCase(line);
    if (faults.errorCommands.count(upper) != 0) {
        reply(port, "\r\nERROR\r\n");
        return;
    }
    for (CommandHandler& handler : handlers_) {
        if (handler(*this, port, line, upper))
            return;
    }
    if (!builtInCommand(port, upper))
        reply(port, "\r\nERROR\r\n");
}

void CardSimulator::reply(Port port, const std::string& text) {
    const CardFaults faults = this->faults();
    if (faults.pieceSize == 0 || faults.pieceSize >= text.size()) {
        sendRaw(port, text.data(), text.size());
        return;
    }
    const platform::PseudoTerminal& terminal = ports_[static_cast<size_t>(port)];
    for (size_t offset = 0; offset < text.size(); offset += faults.pieceSize) {
        if (offset != 0) {
            // The host takes each piece with a read of its own: the next one comes only once
            // the last was read, and after a pause longer than a host's read waits for more.
            waitUntilAnswersRead([&terminal] { return terminal.unreadByClient() != 0; });
            platform::sleepMs(reactionDelay(faults.piecePauseMs));
        }
        const size_t length = std::min(faults.pieceSize, text.size() - offset);
        sendRaw(port, text.data() + offset, length);
    }
}

void CardSimulator::sendRaw(Port port, const void* data, size_t size) {
    ports_[static_cast<size_t>(port)].writeAll(data, size);
}

void CardSimulator::setRawReceiver(Port port, RawReceiver receiver) {
    rawReceivers_[static_cast<size_t>(port)] = std::move(receiver);
}

void CardSimulator::saveState() {
    saveCardState(stateFile_, state_);
    std::lock_guard<std::mutex> guard(mutex_);
    published_ = state_;
}

void CardSimulator::addTimer(uint64_t afterMs, std::function<void()> action) {
    timers_.add(afterMs, std::move(action));
}

void CardSimulator::scheduleLeave(uint64_t afterMs, uint64_t comeBackAfterMs) {
    addTimer(afterMs, [this, comeBackAfterMs] {
        leaveBus();
        if (comeBackAfterMs != platform::kInfiniteMs)
            addTimer(reactionDelay(comeBackAfterMs), [this] { comeOnBus(); });
    });
}

void CardSimulator::scheduleLeaveAfterAnswer(uint64_t afterMs, uint64_t comeBackAfterMs) {
    runOnceAnswersRead(
        timers_, afterMs, [this] { return answerUnread(); },
        [this, comeBackAfterMs] { scheduleLeave(0, comeBackAfterMs); });
}

bool CardSimulator::answerUnread() const {
    return std::any_of(
        std::begin(ports_), std::end(ports_),
        [](const platform::PseudoTerminal& port) { return port.unreadByClient() != 0; });
}

Presence CardSimulator::presence() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return presence_;
}

bool CardSimulator::waitForArrival(int afterGeneration, uint64_t timeoutMs, Presence* seen) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool arrived = platform::waitFor(changed_, lock, timeoutMs, [&] {
        return presence_.present && presence_.generation > afterGeneration;
    });
    if (seen != nullptr)
        *seen = presence_;
    return arrived;
}

bool CardSimulator::waitForDeparture(int generation, uint64_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return platform::waitFor(changed_, lock, timeoutMs, [&] {
        return !presence_.present || presence_.generation > generation;
    });
}

std::vector<std::string> CardSimulator::receivedCommands() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

bool CardSimulator::waitForReceivedCommands(size_t count, uint64_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return platform::waitFor(changed_, lock, timeoutMs, [&] { return received_.size() >= count; });
}

void CardSimulator::clearReceivedCommands() {
    std::lock_guard<std::mutex> guard(mutex_);
    received_.clear();
}

CardState CardSimulator::stateSnapshot() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return published_;
}

CardFaults CardSimulator::faults() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return faults_;
}

void CardSimulator::setFaults(const CardFaults& faults) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_ = faults;
}

} // namespace cardsim
