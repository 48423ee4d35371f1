#include "platform/SessionRecorder.h"

#include "platform/Clock.h"
#include "platform/DeviceTreeFile.h"
#include "platform/DeviceTreeSnapshot.h"
#include "platform/RecordingDeviceTree.h"
#include "platform/RecordingPrivacy.h"
#include "platform/ResultFile.h"
#include "platform/WideText.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace platform {
namespace {

using Json = nlohmann::json;

constexpr uint8_t kFrameStart = 0xAA;
constexpr uint8_t kStartDownloadType = 0x73;
constexpr uint8_t kDataType = 0x00;
// A frame carries at least its two frame bytes and its XOR-16 (a last block may be short); the
// AT dialogue is text and never begins with 0xAA.
constexpr uint32_t kSmallestFrame = 4;
constexpr size_t kChecksumBytes = 2;
constexpr int kBitsPerByte = 8;
constexpr double kMicrosecondsPerMs = 1000.0;
constexpr const char* kDevicePrefix = "\\\\.\\";
// Times are written in tenths of a millisecond.
constexpr double kTimeStepsPerMs = 10;

double roundedMs(double ms) {
    return static_cast<double>(static_cast<int64_t>(ms * kTimeStepsPerMs)) / kTimeStepsPerMs;
}

bool printable(const std::string& bytes) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 || byte > 0x7E) && c != '\r' && c != '\n' && c != '\t')
            return false;
    }
    return true;
}

std::string hexadecimal(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

// The bytes of an event: as text when they are plain ASCII, otherwise in hexadecimal.
void putBytes(Json& object, const std::string& bytes) {
    if (printable(bytes))
        object["text"] = bytes;
    else
        object["hex"] = hexadecimal(bytes);
}

std::string portNameOf(const std::string& path) {
    const std::string prefix = kDevicePrefix;
    return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
}

// "Velmar Application Interface (pts/7)" is the role "Velmar Application Interface".
std::string roleOf(const DeviceNodeDescription& node, const std::string& portName) {
    std::string name = node.friendlyName.empty() ? node.deviceDesc : node.friendlyName;
    const std::string suffix = " (" + portName + ")";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.erase(name.size() - suffix.size());
    return name;
}

const char* changeKindName(DeviceTreeChange::Kind kind) {
    switch (kind) {
    case DeviceTreeChange::Kind::InterfaceArrival:
        return "interfaceArrival";
    case DeviceTreeChange::Kind::InterfaceRemoval:
        return "interfaceRemoval";
    case DeviceTreeChange::Kind::PortArrival:
        return "portArrival";
    case DeviceTreeChange::Kind::PortRemoval:
        return "portRemoval";
    case DeviceTreeChange::Kind::NodesChanged:
        break;
    }
    return "nodesChanged";
}

// The card's devices as the backend describes them, one text a tree (empty while the card is
// away); none when the backend describes nothing. Their USB serial numbers join `serials`.
Json nativeTrees(const std::vector<std::vector<NativeUsbDevice>>& recorded,
                 const std::set<std::string>& vendors, std::vector<std::string>& serials) {
    std::vector<std::string> texts;
    bool any = false;
    for (const std::vector<NativeUsbDevice>& devices : recorded) {
        std::string text;
        for (const NativeUsbDevice& device : devices) {
            // Without the card's vendor the whole machine is kept, each device once.
            if (vendors.empty() ? device.topmost
                                : vendors.count(vendorToken(device.instanceId)) != 0)
                text += (text.empty() ? "" : "\n") + device.description;
        }
        for (const std::string& serial : udevSerialNumbers(text))
            serials.push_back(serial);
        any = any || !text.empty();
        texts.push_back(std::move(text));
    }
    Json trees = Json::array();
    if (!any)
        return trees;
    for (const std::string& text : texts)
        trees.push_back(hideUdevSerialNumbers(text, serials));
    return trees;
}

} // namespace

SessionRecorder::SessionRecorder(std::string path, std::string programVersion)
    : path_(std::move(path)), programVersion_(std::move(programVersion)),
      start_(std::chrono::steady_clock::now()) {}

SessionRecorder::~SessionRecorder() {
    stop();
}

void SessionRecorder::start() {
    if (started_)
        return;
    started_ = true;
    auto inner = deviceTree();
    recordingTree_ = std::make_shared<RecordingDeviceTree>(inner, *this);
    previousTree_ = installDeviceTree(recordingTree_);
    // The card may be plugged in already: its tree as the run begins.
    treeChanged(DeviceTreeChange{}, *inner);
    setSerialObserver(this);
}

void SessionRecorder::stop() {
    if (!started_)
        return;
    started_ = false;
    setSerialObserver(nullptr);
    installDeviceTree(std::move(previousTree_));
    // Whoever still holds the recording tree keeps a tree that only passes calls on.
    recordingTree_->detach();
    recordingTree_.reset();
}

void SessionRecorder::setPackageVersions(const std::string& firmware, const std::string& software) {
    std::lock_guard<std::mutex> guard(mutex_);
    packageFirmware_ = firmware;
    packageSoftware_ = software;
}

void SessionRecorder::setResult(int32_t result) {
    std::lock_guard<std::mutex> guard(mutex_);
    resultKnown_ = true;
    result_ = result;
}

double SessionRecorder::nowMs() const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start_);
    return static_cast<double>(elapsed.count()) / kMicrosecondsPerMs / timeScale();
}

void SessionRecorder::add(Event event) {
    event.timeMs = nowMs();
    events_.push_back(std::move(event));
}

void SessionRecorder::treeChanged(const DeviceTreeChange& change, DeviceTree& tree) {
    std::set<std::string> valueNames;
    std::map<std::string, std::string> interfaces;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (change.kind == DeviceTreeChange::Kind::InterfaceArrival)
            interfaces_[change.name] = change.interfaceClass;
        if (change.kind != DeviceTreeChange::Kind::NodesChanged) {
            Event event;
            event.kind = "change";
            event.frame = changeKindName(change.kind);
            event.name = change.name;
            add(std::move(event));
            return;
        }
        valueNames = valueNames_;
        interfaces = interfaces_;
    }
    DeviceGroup snapshot = snapshotUsbDevices(tree, valueNames, interfaces);
    std::vector<NativeUsbDevice> native = nativeUsbDevices(tree);
    std::lock_guard<std::mutex> guard(mutex_);
    if (!trees_.empty() && printDeviceFile(trees_.back()) == printDeviceFile(snapshot))
        return;
    trees_.push_back(std::move(snapshot));
    nativeTrees_.push_back(std::move(native));
    treeTimes_.push_back(nowMs());
    Event event;
    event.kind = "tree";
    event.number = static_cast<uint32_t>(trees_.size() - 1);
    add(std::move(event));
}

void SessionRecorder::deviceNameProbed(const std::string& name, uint32_t result) {
    std::lock_guard<std::mutex> guard(mutex_);
    deviceNames_[name] = result;
}

void SessionRecorder::adapterIdAnswered(const std::string& name, const std::u16string& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    adapterIds_[name] = id;
}

void SessionRecorder::registryValueAsked(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    valueNames_.insert(name);
}

int SessionRecorder::portOf(SerialHandle handle) const {
    const auto found = openPorts_.find(handle);
    return found == openPorts_.end() ? 0 : found->second;
}

bool SessionRecorder::describePortFrom(PortRecord& port, size_t tree) const {
    const std::string portName = portNameOf(port.path);
    for (const DeviceNodeDescription& node : trees_[tree].nodes) {
        const auto value = node.hardwareKey.find("PortName");
        if (value == node.hardwareKey.end() || value->second.text != portName)
            continue;
        port.role = roleOf(node, portName);
        port.node = node.id;
        port.vendor = vendorToken(node.instanceId);
        port.tree = static_cast<int>(tree);
        return true;
    }
    return false;
}

void SessionRecorder::describePort(PortRecord& port) const {
    // The tree in force when the port opened.
    size_t inForce = trees_.size();
    for (size_t index = 0; index < trees_.size() && treeTimes_[index] <= port.openedMs; ++index)
        inForce = index;
    if (inForce < trees_.size() && describePortFrom(port, inForce))
        return;
    for (size_t index = inForce < trees_.size() ? inForce + 1 : 0; index < trees_.size(); ++index) {
        if (describePortFrom(port, index))
            return;
    }
}

void SessionRecorder::opened(SerialHandle handle, const std::wstring& devicePath) {
    std::lock_guard<std::mutex> guard(mutex_);
    PortRecord port;
    port.path = utf8FromWide(devicePath);
    port.openedMs = nowMs();
    ports_.push_back(port);
    const int id = static_cast<int>(ports_.size());
    openPorts_[handle] = id;
    Event event;
    event.kind = "open";
    event.port = id;
    add(std::move(event));
}

void SessionRecorder::closed(SerialHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    Event event;
    event.kind = "close";
    event.port = portOf(handle);
    openPorts_.erase(handle);
    add(std::move(event));
}

void SessionRecorder::purged(SerialHandle handle, uint32_t flags) {
    std::lock_guard<std::mutex> guard(mutex_);
    Event event;
    event.kind = "purge";
    event.port = portOf(handle);
    event.number = flags;
    add(std::move(event));
}

void SessionRecorder::wrote(SerialHandle handle, const uint8_t* bytes, uint32_t count) {
    std::lock_guard<std::mutex> guard(mutex_);
    Event event;
    event.kind = "write";
    event.port = portOf(handle);
    const bool frame = count >= kSmallestFrame && bytes[0] == kFrameStart &&
                       (bytes[1] == kStartDownloadType || bytes[1] == kDataType);
    if (frame) {
        event.frame = bytes[1] == kStartDownloadType ? "startDownload" : "data";
        event.number = count;
        event.checksum = static_cast<uint32_t>(bytes[count - kChecksumBytes]) |
                         static_cast<uint32_t>(bytes[count - 1]) << kBitsPerByte;
    } else {
        event.bytes.assign(reinterpret_cast<const char*>(bytes), count);
    }
    add(std::move(event));
}

void SessionRecorder::received(SerialHandle handle, const uint8_t* bytes, uint32_t count) {
    std::lock_guard<std::mutex> guard(mutex_);
    Event event;
    event.kind = "read";
    event.port = portOf(handle);
    event.bytes.assign(reinterpret_cast<const char*>(bytes), count);
    add(std::move(event));
}

// The recording's text, assembled from what the recorder kept; called with its mutex held.
struct RecordingText {
    using Event = SessionRecorder::Event;

    // The vendors whose ports were opened: the card's.
    static std::set<std::string> openedVendors(const SessionRecorder& recorder) {
        std::set<std::string> vendors;
        for (const SessionRecorder::PortRecord& port : recorder.ports_) {
            if (!port.vendor.empty())
                vendors.insert(port.vendor);
        }
        return vendors;
    }

    // The port names the trees publish themselves.
    static std::set<std::string> publishedPortNames(const std::vector<DeviceGroup>& trees) {
        std::set<std::string> portNames;
        for (const DeviceGroup& tree : trees) {
            for (const DeviceNodeDescription& node : tree.nodes) {
                const auto value = node.hardwareKey.find("PortName");
                if (value != node.hardwareKey.end())
                    portNames.insert(value->second.text);
            }
        }
        return portNames;
    }

    // Only the card's own devices are kept: those of the vendors whose ports were opened. Their
    // USB serial numbers join `serials`.
    static std::vector<DeviceGroup> cardTrees(const std::vector<DeviceGroup>& trees,
                                              const std::set<std::string>& vendors,
                                              std::vector<std::string>& serials) {
        std::vector<DeviceGroup> cards;
        for (const DeviceGroup& tree : trees) {
            // A run that never opened a port did not find the card: every USB device is kept, so
            // that the recording shows what the machine had instead.
            cards.push_back(vendors.empty() ? tree : devicesOfVendors(tree, vendors));
            for (const std::string& serial : usbSerialNumbers(cards.back()))
                serials.push_back(serial);
        }
        return cards;
    }

    // Adds the device names that were probed and that the tree does not publish itself.
    static void addProbedDeviceNames(const SessionRecorder& recorder, DeviceGroup& card,
                                     const std::set<std::string>& portNames) {
        for (const auto& [name, result] : recorder.deviceNames_) {
            // Ports are published by the tree itself; a name nobody has opens as not found.
            const std::string shortName = portNameOf(name);
            if (result == DeviceTree::kNotFound || portNames.count(shortName) != 0)
                continue;
            card.deviceNames[shortName].openResult = result;
            const auto answer = recorder.adapterIds_.find(name);
            if (answer != recorder.adapterIds_.end())
                card.deviceNames[shortName].adapterId = answer->second;
        }
    }

    // The card's answers lose their identifiers as one text per port between two writes, so
    // that an identifier split across reads is found too; each read keeps its own length.
    static std::vector<std::string> readsWithoutIdentifiers(const std::vector<Event>& events) {
        std::vector<std::string> reads(events.size());
        std::map<int, std::vector<size_t>> pending;
        const auto hidePending = [&events, &reads](std::vector<size_t>& indexes) {
            std::string joined;
            for (const size_t index : indexes)
                joined += events[index].bytes;
            const std::string hidden = hideAnswerIdentifiers(joined);
            size_t at = 0;
            for (const size_t index : indexes) {
                reads[index] = hidden.substr(at, events[index].bytes.size());
                at += events[index].bytes.size();
            }
            indexes.clear();
        };
        for (size_t index = 0; index < events.size(); ++index) {
            const Event& event = events[index];
            if (event.kind == "read")
                pending[event.port].push_back(index);
            else if (event.kind == "write" || event.kind == "close")
                hidePending(pending[event.port]);
        }
        for (auto& [port, indexes] : pending)
            hidePending(indexes);
        return reads;
    }

    // An open, close, purge, write or read; `read` is a read's bytes without identifiers.
    static void putPortEvent(Json& object, const Event& event, const std::string& read) {
        object["event"] = event.kind;
        object["port"] = event.port;
        if (event.kind == "purge")
            object["flags"] = event.number;
        if (event.kind == "write" && !event.frame.empty()) {
            char checksum[8];
            std::snprintf(checksum, sizeof checksum, "%04x", event.checksum);
            object["frame"] = {
                {"kind", event.frame}, {"length", event.number}, {"checksum", checksum}};
        } else if (event.kind == "write") {
            putBytes(object, event.bytes);
        } else if (event.kind == "read") {
            putBytes(object, read);
        }
    }

    // A copy of the tree is an arrival or a departure when the card's presence changed with it.
    static void putTreeEvent(Json& object, const Event& event, const std::vector<bool>& cardPresent,
                             bool& present) {
        const bool nowPresent = cardPresent[event.number];
        if (nowPresent != present)
            object["event"] = nowPresent ? "arrival" : "departure";
        else
            object["event"] = "tree";
        present = nowPresent;
        object["tree"] = event.number;
    }

    static Json events(const std::vector<Event>& events, const std::vector<std::string>& serials,
                       const std::vector<bool>& cardPresent) {
        const std::vector<std::string> reads = readsWithoutIdentifiers(events);
        Json objects = Json::array();
        bool present = false;
        for (size_t index = 0; index < events.size(); ++index) {
            const Event& event = events[index];
            Json object = {{"t", roundedMs(event.timeMs)}};
            if (event.kind == "tree") {
                putTreeEvent(object, event, cardPresent, present);
            } else if (event.kind == "change") {
                object["event"] = "change";
                object["kind"] = event.frame;
                object["name"] = hideUsbSerialNumbers(event.name, serials);
            } else {
                putPortEvent(object, event, reads[index]);
            }
            objects.push_back(std::move(object));
        }
        return objects;
    }

    static Json ports(const std::vector<SessionRecorder::PortRecord>& records) {
        Json ports = Json::array();
        int id = 0;
        for (const SessionRecorder::PortRecord& port : records) {
            ports.push_back({{"id", ++id},
                             {"portName", portNameOf(port.path)},
                             {"role", port.role},
                             {"node", port.node},
                             {"tree", port.tree}});
        }
        return ports;
    }

    static Json head(const SessionRecorder& recorder, const Json& trees) {
        return {
            {"format", SessionRecorder::kFormatName},
            {"version", SessionRecorder::kFormatVersion},
            {"kestrelVersion", recorder.programVersion_},
            {"package",
             {{"firmware", recorder.packageFirmware_}, {"software", recorder.packageSoftware_}}},
            {"result", recorder.resultKnown_ ? Json(recorder.result_) : Json(nullptr)},
            {"timeUnit", "ms"},
            {"hidden", {"USB serial number", "IMEI and serial numbers in the card's answers"}},
            {"trees", trees},
            {"ports", ports(recorder.ports_)},
        };
    }

    // One event a line, so that two recordings compare line by line.
    static std::string joined(const Json& head, const Json& events) {
        std::string text = head.dump(-1, ' ', false, Json::error_handler_t::replace);
        text.pop_back();
        text += ",\"events\":[";
        const char* separator = "\n";
        for (const Json& event : events) {
            text += separator + event.dump(-1, ' ', false, Json::error_handler_t::replace);
            separator = ",\n";
        }
        return text + "\n]}\n";
    }
};

std::string SessionRecorder::text() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (PortRecord& port : ports_)
        describePort(port);
    const std::set<std::string> vendors = RecordingText::openedVendors(*this);
    const std::set<std::string> portNames = RecordingText::publishedPortNames(trees_);
    std::vector<std::string> serials;
    std::vector<DeviceGroup> cards = RecordingText::cardTrees(trees_, vendors, serials);
    const Json native = nativeTrees(nativeTrees_, vendors, serials);
    Json trees = Json::array();
    std::vector<bool> cardPresent;
    for (DeviceGroup& card : cards) {
        RecordingText::addProbedDeviceNames(*this, card, portNames);
        hideUsbSerialNumbers(card, serials);
        cardPresent.push_back(!card.nodes.empty());
        trees.push_back(Json::parse(printDeviceFile(card)));
    }
    Json head = RecordingText::head(*this, trees);
    if (!native.empty())
        head["udev"] = native;
    return RecordingText::joined(head, RecordingText::events(events_, serials, cardPresent));
}

bool SessionRecorder::write(std::string& problem) {
    // Written like a result file: root may record into a folder a user can write.
    problem = writeResultFile(path_, text());
    return problem.empty();
}

} // namespace platform
