#include "sim/ReplayCard.h"

#include "platform/Clock.h"
#include "sim/CardReaction.h"
#include "sim/DeviceFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace cardsim {
namespace {

using Json = nlohmann::json;

constexpr uint8_t kFrameStart = 0xAA;
constexpr uint8_t kStartDownloadType = 0x73;
constexpr uint8_t kDataType = 0x00;
constexpr uint8_t kSendAgain = 0x09;
constexpr uint8_t kAccepted = 0x01;
// StartDownload: frame bytes, block size (u16), the wrapped header, XOR-16. The header's length
// is its word at offset 4, the payload's size the word at offset 8.
constexpr size_t kFrameHeadBytes = 2;
constexpr size_t kBlockSizeBytes = 2;
constexpr size_t kChecksumBytes = 2;
constexpr size_t kHeaderLengthOffset = 4;
constexpr size_t kPayloadSizeOffset = 8;
constexpr size_t kWordBytes = 4;
constexpr int kBitsPerByte = 8;
constexpr size_t kReadChunk = 65536;
// The card's answer goes out before it leaves the bus, however short the recorded pause.
constexpr double kLeaveAfterAnswerMs = 10;
constexpr const char* kErrorAnswer = "\r\nERROR\r\n";

uint32_t littleEndian(const std::string& bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t index = 0; index < count; ++index)
        value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + index]))
                 << (kBitsPerByte * index);
    return value;
}

// Recorded milliseconds as the timers count them; a negative pause is none.
uint64_t wholeMs(double ms) {
    return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

} // namespace

ReplayCard::ReplayCard(ReplayOptions options, SessionReplay replay)
    : options_(std::move(options)), replay_(std::move(replay)),
      deviceFile_(deviceFilePath(options_.root, options_.name)) {
    const std::vector<Exchange>& exchanges = replay_.exchanges();
    played_.assign(exchanges.size(), false);
    for (const Exchange& exchange : exchanges) {
        if (exchange.frameKind.empty())
            commands_[{exchange.presence, exchange.role, exchange.command}].push_back(
                exchange.order);
        else
            frames_[exchange.role].push_back(exchange.order);
    }
}

ReplayCard::~ReplayCard() {
    leave();
}

void ReplayCard::requestStop() {
    stopRequested_.store(true);
    wakeup_.notify();
}

bool ReplayCard::run(std::string* problem) {
    if (!arrive(0, problem))
        return false;
    while (!stopRequested_.load()) {
        std::vector<platform::PseudoTerminal*> terminals;
        std::vector<std::string> roles;
        for (auto& [role, port] : ports_) {
            terminals.push_back(port.terminal.get());
            roles.push_back(role);
        }
        const int ready = platform::waitForInput(terminals, timers_.nextDelay(), &wakeup_);
        if (ready == -2) {
            wakeup_.clear();
            continue;
        }
        if (ready >= 0) {
            const std::string role = roles[static_cast<size_t>(ready)];
            receive(role, ports_[role]);
        }
        timers_.runDue();
    }
    leave();
    return true;
}

bool ReplayCard::arrive(size_t presence, std::string* problem) {
    if (presence >= replay_.presences().size())
        return true;
    presence_ = presence;
    const uint64_t generation = ++generation_;
    const auto& trees = replay_.presences()[presence].trees;
    if (trees.empty())
        return true;
    if (!publish(trees.front().second, problem))
        return false;
    for (size_t index = 1; index < trees.size(); ++index) {
        const std::string tree = trees[index].second;
        addTimer(trees[index].first, [this, generation, tree] {
            std::string ignored;
            if (generation == generation_)
                publish(tree, &ignored);
        });
    }
    return true;
}

bool ReplayCard::publish(const std::string& tree, std::string* problem) {
    try {
        return publishTree(tree, problem);
    } catch (const nlohmann::json::exception& error) {
        *problem = std::string("a recorded tree holds a member of the wrong type: ") + error.what();
        return false;
    }
}

bool ReplayCard::publishTree(const std::string& tree, std::string* problem) {
    Json content = Json::parse(tree, nullptr, false);
    if (content.is_discarded() || !content.is_object()) {
        *problem = "a recorded tree is not a JSON object";
        return false;
    }
    // The recorded ports become terminals of this card, one per role.
    if (content.contains("nodes") && content["nodes"].is_array()) {
        for (Json& node : content["nodes"]) {
            if (!node.is_object() || !node.contains("hardwareKey") ||
                !node["hardwareKey"].is_object() || !node["hardwareKey"].contains("PortName") ||
                !node["hardwareKey"]["PortName"].is_string())
                continue;
            const std::string recorded = node["hardwareKey"]["PortName"].get<std::string>();
            const std::string friendlyName = node.value("friendlyName", std::string());
            const std::string role =
                portRole(friendlyName, node.value("deviceDesc", std::string()), recorded);
            PortState& port = ports_[role];
            if (!port.terminal) {
                port.terminal = std::make_unique<platform::PseudoTerminal>();
                if (!port.terminal->open()) {
                    *problem = "cannot open a pseudo-terminal";
                    return false;
                }
            }
            const std::string name = port.terminal->portName();
            node["hardwareKey"]["PortName"] = name;
            if (!friendlyName.empty())
                node["friendlyName"] = role + " (" + name + ")";
            std::printf("%s: /dev/%s\n", role.c_str(), name.c_str());
        }
    }
    std::fflush(stdout);
    return writeFileAtomically(deviceFile_, content.dump(2) + "\n", problem);
}

void ReplayCard::leave() {
    removeDeviceFile(deviceFile_);
    ports_.clear();
}

void ReplayCard::receive(const std::string& role, PortState& port) {
    char buffer[kReadChunk];
    const long got = port.terminal->readAvailable(buffer, sizeof buffer);
    if (got <= 0)
        return;
    port.received.append(buffer, static_cast<size_t>(got));
    for (;;) {
        std::string& bytes = port.received;
        if (bytes.empty())
            return;
        if (static_cast<uint8_t>(bytes[0]) == kFrameStart) {
            const size_t length = frameLength(port, bytes);
            if (length == 0 || bytes.size() < length)
                return;
            const std::string frame = bytes.substr(0, length);
            bytes.erase(0, length);
            frameReceived(role, port, frame);
            continue;
        }
        const size_t end = bytes.find('\r');
        if (end == std::string::npos)
            return;
        std::string line = bytes.substr(0, end);
        bytes.erase(0, end + 1);
        if (!bytes.empty() && bytes[0] == '\n')
            bytes.erase(0, 1);
        line.erase(0, line.find_first_not_of('\n') == std::string::npos
                          ? line.size()
                          : line.find_first_not_of('\n'));
        if (!line.empty())
            commandReceived(role, port, line);
    }
}

size_t ReplayCard::frameLength(const PortState& port, const std::string& bytes) const {
    if (bytes.size() < kFrameHeadBytes)
        return 0;
    const uint8_t type = static_cast<uint8_t>(bytes[1]);
    if (type == kStartDownloadType) {
        const size_t headerAt = kFrameHeadBytes + kBlockSizeBytes;
        if (bytes.size() < headerAt + kHeaderLengthOffset + kWordBytes)
            return 0;
        const uint32_t headerLength =
            littleEndian(bytes, headerAt + kHeaderLengthOffset, kWordBytes);
        return headerAt + headerLength + kChecksumBytes;
    }
    // A data block: the block size, or what is left of the payload made even.
    uint32_t count = std::min(port.blockSize, port.payloadLeft);
    if (count < port.blockSize && count % 2 != 0)
        ++count;
    if (type != kDataType || count == 0)
        return bytes.size();
    return kFrameHeadBytes + count + kChecksumBytes;
}

void ReplayCard::frameReceived(const std::string& role, PortState& port, const std::string& frame) {
    const uint8_t type = static_cast<uint8_t>(frame[1]);
    const std::string kind = type == kStartDownloadType ? "startDownload"
                             : type == kDataType        ? "data"
                                                        : "unknown";
    const uint32_t checksum =
        frame.size() >= kFrameHeadBytes + kChecksumBytes
            ? littleEndian(frame, frame.size() - kChecksumBytes, kChecksumBytes)
            : 0;
    Exchange received;
    received.frameKind = kind;
    received.frameLength = static_cast<uint32_t>(frame.size());
    received.frameChecksum = checksum;
    std::deque<size_t>& queue = frames_[role];
    const Exchange* expected = queue.empty() ? nullptr : &replay_.exchanges()[queue.front()];
    if (expected == nullptr || expected->frameKind != kind ||
        expected->frameLength != received.frameLength || expected->frameChecksum != checksum) {
        diverge(role + ": got " + received.description() + ", the recording expects " +
                (expected != nullptr ? expected->description() : std::string("no more frames")));
        send(role, std::string{static_cast<char>(kFrameStart), static_cast<char>(kSendAgain)});
        return;
    }
    const Exchange& exchange = *expected;
    queue.pop_front();
    // The download's block layout follows what the recorded card accepted.
    const bool accepted = !exchange.answer.empty() && exchange.answer.back().bytes.size() >= 2 &&
                          static_cast<uint8_t>(exchange.answer.back().bytes[1]) == kAccepted;
    if (accepted && type == kStartDownloadType) {
        const size_t headerAt = kFrameHeadBytes + kBlockSizeBytes;
        port.blockSize = littleEndian(frame, kFrameHeadBytes, kBlockSizeBytes);
        port.payloadLeft = littleEndian(frame, headerAt + kPayloadSizeOffset, kWordBytes);
    } else if (accepted && type == kDataType) {
        const uint32_t sent =
            static_cast<uint32_t>(frame.size() - kFrameHeadBytes - kChecksumBytes);
        port.payloadLeft -= std::min(port.payloadLeft, sent);
    }
    play(exchange, role);
}

void ReplayCard::commandReceived(const std::string& role, PortState&, const std::string& line) {
    const CommandKey key{presence_, role, line};
    std::deque<size_t>& queue = commands_[key];
    if (!queue.empty()) {
        const Exchange& exchange = replay_.exchanges()[queue.front()];
        queue.pop_front();
        lastAnswers_[key] = exchange.order;
        play(exchange, role);
        return;
    }
    const auto last = lastAnswers_.find(key);
    if (last != lastAnswers_.end()) {
        std::printf("repeated: %s: \"%s\" answered as last time\n", role.c_str(), line.c_str());
        std::fflush(stdout);
        play(replay_.exchanges()[last->second], role, true);
        return;
    }
    std::string expected = "nothing more";
    const auto next = std::find(played_.begin(), played_.end(), false);
    if (next != played_.end())
        expected = replay_.exchanges()[static_cast<size_t>(next - played_.begin())].description();
    diverge(role + ": got \"" + line + "\", which the recording does not hold (more); it " +
            "expects " + expected);
    send(role, kErrorAnswer);
}

void ReplayCard::play(const Exchange& exchange, const std::string& role, bool again) {
    played_[exchange.order] = true;
    const uint64_t generation = generation_;
    double at = 0;
    for (const AnswerPiece& piece : exchange.answer) {
        at += piece.afterMs;
        const std::string bytes = piece.bytes;
        if (at <= 0) {
            send(role, bytes);
            continue;
        }
        addTimer(at, [this, generation, role, bytes] {
            if (generation == generation_)
                send(role, bytes);
        });
    }
    if (!exchange.leaves || again)
        return;
    const double leaveAt = std::max(exchange.leaveAfterMs, at + kLeaveAfterAnswerMs);
    const size_t next = presence_ + 1;
    runOnceAnswersRead(
        timers_, wholeMs(leaveAt), [this] { return answerUnread(); },
        [this, generation, next] {
            if (generation == generation_)
                leaveAndComeBack(next);
        });
}

void ReplayCard::leaveAndComeBack(size_t next) {
    leave();
    ++generation_;
    if (next >= replay_.presences().size())
        return;
    const uint64_t pause = reactionDelay(wholeMs(replay_.presences()[next].comeBackAfterMs));
    timers_.add(pause, [this, next] {
        std::string problem;
        if (!arrive(next, &problem))
            std::fprintf(stderr, "kestrel-cardsim: %s\n", problem.c_str());
    });
}

bool ReplayCard::answerUnread() const {
    return std::any_of(ports_.begin(), ports_.end(), [](const auto& entry) {
        return entry.second.terminal && entry.second.terminal->unreadByClient() != 0;
    });
}

void ReplayCard::diverge(const std::string& what) {
    ++divergences_;
    std::fprintf(stderr, "kestrel-cardsim: divergence: %s\n", what.c_str());
    std::fflush(stderr);
}

void ReplayCard::send(const std::string& role, const std::string& bytes) {
    const auto port = ports_.find(role);
    if (port != ports_.end() && port->second.terminal)
        port->second.terminal->writeAll(bytes);
}

void ReplayCard::addTimer(double afterMs, std::function<void()> action) {
    timers_.add(wholeMs(afterMs), std::move(action));
}

} // namespace cardsim
