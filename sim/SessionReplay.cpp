#include "sim/SessionReplay.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

namespace cardsim {
namespace {

using Json = nlohmann::json;

constexpr int kReadableVersion = 1;
constexpr const char* kFormatName = "kestrel-session";
constexpr int kHexBase = 16;
constexpr size_t kHexDigitsPerByte = 2;

bool bytesOf(const Json& event, std::string& bytes) {
    if (event.contains("text") && event["text"].is_string()) {
        bytes = event["text"].get<std::string>();
        return true;
    }
    if (!event.contains("hex") || !event["hex"].is_string())
        return false;
    const std::string hex = event["hex"].get<std::string>();
    if (hex.size() % kHexDigitsPerByte != 0)
        return false;
    bytes.clear();
    for (size_t at = 0; at < hex.size(); at += kHexDigitsPerByte) {
        char* end = nullptr;
        const std::string digits = hex.substr(at, kHexDigitsPerByte);
        const long value = std::strtol(digits.c_str(), &end, kHexBase);
        if (end == nullptr || *end != '\0')
            return false;
        bytes.push_back(static_cast<char>(value));
    }
    return true;
}

std::string trimmedLine(const std::string& text) {
    const size_t start = text.find_first_not_of("\r\n");
    if (start == std::string::npos)
        return std::string();
    const size_t end = text.find_last_not_of("\r\n");
    return text.substr(start, end - start + 1);
}

double timeOf(const Json& event) {
    return event.contains("t") && event["t"].is_number() ? event["t"].get<double>() : 0;
}

// False with `problem` unless `root` is a recording of a format and version this program reads.
bool readableRecording(const Json& root, std::string& problem) {
    if (root.is_discarded() || !root.is_object()) {
        problem = "not a JSON object";
        return false;
    }
    if (root.value("format", std::string()) != kFormatName) {
        problem = std::string("not a \"") + kFormatName + "\" recording";
        return false;
    }
    if (!root.contains("version") || !root["version"].is_number_integer() ||
        root["version"].get<int>() > kReadableVersion) {
        problem = "a recording of a version this program cannot read";
        return false;
    }
    return true;
}

// The role of each port the recording lists, by its id.
std::map<int, std::string> portRoles(const Json& ports) {
    std::map<int, std::string> roles;
    for (const Json& port : ports) {
        if (port.is_object() && port.contains("id") && port["id"].is_number_integer())
            roles[port["id"].get<int>()] = port.value("role", std::string());
    }
    return roles;
}

// What a write sent: a download frame's kind, length and checksum, or a command line.
bool takeWhatWasSent(const Json& event, Exchange& exchange, std::string& problem) {
    if (event.contains("frame") && event["frame"].is_object()) {
        const Json& frame = event["frame"];
        exchange.frameKind = frame.value("kind", std::string());
        exchange.frameLength = frame.value("length", 0u);
        exchange.frameChecksum = static_cast<uint32_t>(
            std::strtoul(frame.value("checksum", std::string("0")).c_str(), nullptr, kHexBase));
        return true;
    }
    std::string bytes;
    if (!bytesOf(event, bytes)) {
        problem = "a write without its bytes";
        return false;
    }
    exchange.command = trimmedLine(bytes);
    return true;
}

// Reads the events in their order into the exchanges and the presences of the card.
class EventReader {
public:
    EventReader(const Json& trees, std::map<int, std::string> roles,
                std::vector<Exchange>& exchanges, std::vector<RecordedPresence>& presences)
        : trees_(trees), roles_(std::move(roles)), exchanges_(exchanges), presences_(presences) {}

    bool take(const Json& event, std::string& problem) {
        if (!event.is_object() || !event.contains("event") || !event["event"].is_string()) {
            problem = "an event without \"event\"";
            return false;
        }
        const std::string kind = event["event"].get<std::string>();
        const double time = timeOf(event);
        const int port = event.value("port", 0);
        if (kind == "arrival" || kind == "tree")
            return takeTree(event, kind == "arrival", time, problem);
        if (kind == "departure")
            takeDeparture(time);
        else if (kind == "write")
            return takeWrite(event, port, time, problem);
        else if (kind == "read")
            takeRead(event, port, time);
        else if (kind == "close")
            current_.erase(port);
        return true;
    }

private:
    bool takeTree(const Json& event, bool arrival, double time, std::string& problem) {
        const size_t index = event.value("tree", size_t(0));
        if (index >= trees_.size()) {
            problem = "an event names a tree the recording does not hold";
            return false;
        }
        if (arrival && (leaving_ || !presences_.back().trees.empty())) {
            RecordedPresence next;
            next.comeBackAfterMs = leaving_ ? time - departureTime_ : 0;
            presences_.push_back(next);
            leaving_ = false;
            arrivalTime_ = time;
        } else if (arrival) {
            arrivalTime_ = time;
        }
        if (!leaving_)
            presences_.back().trees.emplace_back(time - arrivalTime_, trees_[index].dump());
        return true;
    }

    void takeDeparture(double time) {
        leaving_ = true;
        departureTime_ = time;
        if (!exchanges_.empty() && !exchanges_.back().leaves) {
            exchanges_.back().leaves = true;
            exchanges_.back().leaveAfterMs = time - sentAt_.back();
        }
        // What the card sent before it left is still read from the open port after.
    }

    bool takeWrite(const Json& event, int port, double time, std::string& problem) {
        Exchange exchange;
        exchange.role = roles_[port];
        exchange.order = exchanges_.size();
        exchange.presence = presences_.size() - 1;
        if (!takeWhatWasSent(event, exchange, problem))
            return false;
        current_[port] = exchanges_.size();
        exchanges_.push_back(exchange);
        lastHeard_.push_back(time);
        sentAt_.push_back(time);
        return true;
    }

    void takeRead(const Json& event, int port, double time) {
        const auto found = current_.find(port);
        std::string bytes;
        if (found == current_.end() || !bytesOf(event, bytes))
            return;
        Exchange& exchange = exchanges_[found->second];
        // The first piece goes out at once: the recorded time is when the updater's read
        // cycle took it, not when the card sent it.
        const double after = exchange.answer.empty() ? 0 : time - lastHeard_[found->second];
        exchange.answer.push_back(AnswerPiece{after, bytes});
        lastHeard_[found->second] = time;
    }

    const Json& trees_;
    std::map<int, std::string> roles_;
    std::vector<Exchange>& exchanges_;
    std::vector<RecordedPresence>& presences_;
    // The exchange open on each port.
    std::map<int, size_t> current_;
    double arrivalTime_ = 0;
    double departureTime_ = 0;
    // When each exchange was last heard of: its command, or its latest answer piece.
    std::vector<double> lastHeard_;
    std::vector<double> sentAt_;
    bool leaving_ = false;
};

} // namespace

std::string Exchange::description() const {
    if (frameKind.empty())
        return "\"" + command + "\"";
    char checksum[8];
    std::snprintf(checksum, sizeof checksum, "%04x", frameChecksum);
    return frameKind + " frame of " + std::to_string(frameLength) + " bytes, checksum " + checksum;
}

std::string portRole(const std::string& friendlyName, const std::string& deviceDesc,
                     const std::string& portName) {
    std::string name = friendlyName.empty() ? deviceDesc : friendlyName;
    const std::string suffix = " (" + portName + ")";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.erase(name.size() - suffix.size());
    return name;
}

bool SessionReplay::parse(const std::string& text, std::string& problem) {
    // A member of the wrong type throws inside the JSON library; the recording is then refused.
    try {
        return parseRecording(text, problem);
    } catch (const nlohmann::json::exception& error) {
        problem = std::string("a member of the wrong type: ") + error.what();
        return false;
    }
}

bool SessionReplay::parseRecording(const std::string& text, std::string& problem) {
    const Json root = Json::parse(text, nullptr, false);
    if (!readableRecording(root, problem))
        return false;
    const Json& trees = root.value("trees", Json::array());
    const Json& ports = root.value("ports", Json::array());
    const Json& events = root.value("events", Json::array());
    if (!trees.is_array() || !ports.is_array() || !events.is_array()) {
        problem = "\"trees\", \"ports\" and \"events\" must be lists";
        return false;
    }
    if (root.contains("package") && root["package"].is_object())
        packageFirmware_ = root["package"].value("firmware", std::string());
    std::map<int, std::string> roles = portRoles(ports);

    exchanges_.clear();
    presences_.assign(1, RecordedPresence());
    EventReader reader(trees, std::move(roles), exchanges_, presences_);
    for (const Json& event : events) {
        if (!reader.take(event, problem))
            return false;
    }
    return true;
}

} // namespace cardsim
