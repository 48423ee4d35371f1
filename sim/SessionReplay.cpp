#include "sim/SessionReplay.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>

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
    const Json& trees = root.value("trees", Json::array());
    const Json& ports = root.value("ports", Json::array());
    const Json& events = root.value("events", Json::array());
    if (!trees.is_array() || !ports.is_array() || !events.is_array()) {
        problem = "\"trees\", \"ports\" and \"events\" must be lists";
        return false;
    }
    if (root.contains("package") && root["package"].is_object())
        packageFirmware_ = root["package"].value("firmware", std::string());
    std::map<int, std::string> roles;
    for (const Json& port : ports) {
        if (port.is_object() && port.contains("id") && port["id"].is_number_integer())
            roles[port["id"].get<int>()] = port.value("role", std::string());
    }

    exchanges_.clear();
    presences_.assign(1, RecordedPresence());
    std::map<int, size_t> current;
    double arrivalTime = 0;
    double departureTime = 0;
    // When each exchange was last heard of: its command, or its latest answer piece.
    std::vector<double> lastHeard;
    std::vector<double> sentAt;
    bool leaving = false;
    for (const Json& event : events) {
        if (!event.is_object() || !event.contains("event") || !event["event"].is_string()) {
            problem = "an event without \"event\"";
            return false;
        }
        const std::string kind = event["event"].get<std::string>();
        const double time = timeOf(event);
        const int port = event.value("port", 0);
        if (kind == "arrival" || kind == "tree") {
            const size_t index = event.value("tree", size_t(0));
            if (index >= trees.size()) {
                problem = "an event names a tree the recording does not hold";
                return false;
            }
            if (kind == "arrival" && (leaving || !presences_.back().trees.empty())) {
                RecordedPresence next;
                next.comeBackAfterMs = leaving ? time - departureTime : 0;
                presences_.push_back(next);
                leaving = false;
                arrivalTime = time;
            } else if (kind == "arrival") {
                arrivalTime = time;
            }
            if (!leaving)
                presences_.back().trees.emplace_back(time - arrivalTime, trees[index].dump());
        } else if (kind == "departure") {
            leaving = true;
            departureTime = time;
            if (!exchanges_.empty() && !exchanges_.back().leaves) {
                exchanges_.back().leaves = true;
                exchanges_.back().leaveAfterMs = time - sentAt.back();
            }
            // What the card sent before it left is still read from the open port after.
        } else if (kind == "write") {
            Exchange exchange;
            exchange.role = roles[port];
            exchange.order = exchanges_.size();
            exchange.presence = presences_.size() - 1;
            if (event.contains("frame") && event["frame"].is_object()) {
                const Json& frame = event["frame"];
                exchange.frameKind = frame.value("kind", std::string());
                exchange.frameLength = frame.value("length", 0u);
                exchange.frameChecksum = static_cast<uint32_t>(std::strtoul(
                    frame.value("checksum", std::string("0")).c_str(), nullptr, kHexBase));
            } else {
                std::string bytes;
                if (!bytesOf(event, bytes)) {
                    problem = "a write without its bytes";
                    return false;
                }
                exchange.command = trimmedLine(bytes);
            }
            current[port] = exchanges_.size();
            exchanges_.push_back(exchange);
            lastHeard.push_back(time);
            sentAt.push_back(time);
        } else if (kind == "read") {
            const auto found = current.find(port);
            std::string bytes;
            if (found == current.end() || !bytesOf(event, bytes))
                continue;
            Exchange& exchange = exchanges_[found->second];
            // The first piece goes out at once: the recorded time is when the updater's read
            // cycle took it, not when the card sent it.
            const double after = exchange.answer.empty() ? 0 : time - lastHeard[found->second];
            exchange.answer.push_back(AnswerPiece{after, bytes});
            lastHeard[found->second] = time;
        } else if (kind == "close") {
            current.erase(port);
        }
    }
    return true;
}

} // namespace cardsim
