#include "platform/RecordingPrivacy.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace platform {
namespace {

// An IMEI has 15 digits, an IMEISV 16, an ICCID 19 or 20; the card's versions and dates fewer.
constexpr size_t kShortestIdentifierDigits = 14;
const char* const kIdentifierLabels[] = {"IMEI", "SERIAL", "SN", "ESN", "MEID", "ICCID"};

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The serial number stands between the separators of an id ("USB\VID_1234&PID_5678\SERIAL",
// "USB#VID_1234&PID_5678#SERIAL#{guid}"); the same digits elsewhere (a revision) stay.
bool separator(const std::string& text, size_t at) {
    return at >= text.size() || text[at] == '\\' || text[at] == '#';
}

void replaceAll(std::string& text, const std::string& secret) {
    if (secret.empty())
        return;
    const std::string placeholder(secret.size(), kIdentifierPlaceholder);
    const std::string key = upper(secret);
    const std::string folded = upper(text);
    for (size_t at = folded.find(key); at != std::string::npos; at = folded.find(key, at + 1)) {
        if (at > 0 && separator(text, at - 1) && separator(text, at + secret.size()))
            text.replace(at, secret.size(), placeholder);
    }
}

void hideIn(DeviceNodeDescription& node, const std::vector<std::string>& serials) {
    for (const std::string& serial : serials) {
        replaceAll(node.instanceId, serial);
        for (std::string& id : node.hardwareIds)
            replaceAll(id, serial);
        replaceAll(node.friendlyName, serial);
        replaceAll(node.deviceDesc, serial);
        for (auto* key : {&node.hardwareKey, &node.driverKey}) {
            for (auto& [name, value] : *key)
                replaceAll(value.text, serial);
        }
        for (DeviceInterface& interface : node.interfaces)
            replaceAll(interface.name, serial);
    }
}

// "IMEI: 123", "Serial Number: 123", "+CGSN: 123", "SN=123": a word before the separator is
// one of the labels, or ends in "SN" (the serial-number commands).
bool labelledIdentifier(const std::string& line, size_t& valueStart) {
    const size_t separator = line.find_first_of(":=");
    if (separator == std::string::npos)
        return false;
    const std::string head = upper(line.substr(0, separator));
    std::string word;
    for (size_t at = 0; at <= head.size(); ++at) {
        if (at < head.size() && std::isalpha(static_cast<unsigned char>(head[at]))) {
            word.push_back(head[at]);
            continue;
        }
        const bool serialCommand = word.size() > 2 && word.compare(word.size() - 2, 2, "SN") == 0;
        for (const char* label : kIdentifierLabels) {
            if (word == label || serialCommand) {
                valueStart = separator + 1;
                return true;
            }
        }
        word.clear();
    }
    return false;
}

void hideLine(std::string& line) {
    size_t valueStart = 0;
    if (labelledIdentifier(line, valueStart)) {
        for (size_t at = valueStart; at < line.size(); ++at) {
            if (std::isalnum(static_cast<unsigned char>(line[at])))
                line[at] = kIdentifierPlaceholder;
        }
    }
    size_t run = 0;
    for (size_t at = 0; at <= line.size(); ++at) {
        if (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) {
            ++run;
            continue;
        }
        if (run >= kShortestIdentifierDigits)
            std::fill(line.begin() + static_cast<std::ptrdiff_t>(at - run),
                      line.begin() + static_cast<std::ptrdiff_t>(at), kIdentifierPlaceholder);
        run = 0;
    }
}

} // namespace

std::string usbSerialNumber(const std::string& instanceId) {
    const size_t first = instanceId.find('\\');
    if (first == std::string::npos || upper(instanceId.substr(0, first)) != "USB")
        return std::string();
    const size_t second = instanceId.find('\\', first + 1);
    if (second == std::string::npos)
        return std::string();
    const std::string ids = upper(instanceId.substr(first + 1, second - first - 1));
    const std::string serial = instanceId.substr(second + 1);
    if (ids.find("&MI_") != std::string::npos || serial.find('&') != std::string::npos ||
        serial.find('\\') != std::string::npos)
        return std::string();
    return serial;
}

std::vector<std::string> usbSerialNumbers(const DeviceGroup& group) {
    std::vector<std::string> serials;
    for (const DeviceNodeDescription& node : group.nodes) {
        const std::string serial = usbSerialNumber(node.instanceId);
        if (!serial.empty())
            serials.push_back(serial);
    }
    return serials;
}

void hideUsbSerialNumbers(DeviceGroup& group, const std::vector<std::string>& serials) {
    for (DeviceNodeDescription& node : group.nodes)
        hideIn(node, serials);
}

std::string hideUsbSerialNumbers(std::string text, const std::vector<std::string>& serials) {
    for (const std::string& serial : serials)
        replaceAll(text, serial);
    return text;
}

std::string hideAnswerIdentifiers(const std::string& answer) {
    std::string hidden;
    size_t start = 0;
    while (start <= answer.size()) {
        const size_t end = answer.find_first_of("\r\n", start);
        std::string line =
            answer.substr(start, end == std::string::npos ? std::string::npos : end - start);
        hideLine(line);
        hidden += line;
        if (end == std::string::npos)
            break;
        hidden += answer[end];
        start = end + 1;
    }
    return hidden;
}

std::vector<std::string> udevSerialNumbers(const std::string& devices) {
    const std::string prefix = "A: serial=";
    std::vector<std::string> serials;
    size_t start = 0;
    while (start < devices.size()) {
        size_t end = devices.find('\n', start);
        if (end == std::string::npos)
            end = devices.size();
        if (devices.compare(start, prefix.size(), prefix) == 0 && end > start + prefix.size())
            serials.push_back(devices.substr(start + prefix.size(), end - start - prefix.size()));
        start = end + 1;
    }
    return serials;
}

std::string hideUdevSerialNumbers(std::string devices, const std::vector<std::string>& serials) {
    const auto wordBoundary = [&devices](size_t at) {
        return at >= devices.size() || !std::isalnum(static_cast<unsigned char>(devices[at]));
    };
    for (const std::string& serial : serials) {
        if (serial.empty())
            continue;
        const std::string placeholder(serial.size(), kIdentifierPlaceholder);
        for (size_t at = devices.find(serial); at != std::string::npos;
             at = devices.find(serial, at + 1)) {
            if ((at == 0 || wordBoundary(at - 1)) && wordBoundary(at + serial.size()))
                devices.replace(at, serial.size(), placeholder);
        }
    }
    return devices;
}

} // namespace platform
