#pragma once

#include "platform/DeviceTree.h"
#include "platform/DeviceTreeInMemory.h"
#include "platform/DeviceTreeSnapshot.h"
#include "platform/SerialObserver.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Records a session with a card: its device tree at each arrival, every open, close, purge,
// write and read on its ports and each arrival and departure, with their times, and writes them
// as one JSON file (format "kestrel-session", version 1) that the card simulator replays. It sits
// below the flashing and detection libraries, as a watcher of the serial layer and a device tree
// that passes every call through: nothing it does changes what is sent to the card or when. The
// file is written once, at the end; download frames are kept as their length, checksum and
// answer, not their payload, and one user's identifiers are replaced (RecordingPrivacy).
namespace platform {

class RecordingDeviceTree;

class SessionRecorder : public SerialObserver {
public:
    static constexpr int kFormatVersion = 1;
    static constexpr const char* kFormatName = "kestrel-session";

    SessionRecorder(std::string path, std::string programVersion);
    ~SessionRecorder() override;
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    // Starts watching the serial layer and the process's device tree; before anything uses them.
    void start();
    // Stops watching; what was recorded stays for write.
    void stop();

    // Facts of the run the file carries beside the traffic.
    void setPackageVersions(const std::string& firmware, const std::string& software);
    void setResult(int32_t result);

    // Writes the file (atomically). False with `problem` saying why.
    bool write(std::string& problem);
    // The recording as the file would hold it.
    std::string text();
    const std::string& path() const { return path_; }

    // From the recording device tree: a change as the tree delivered it, and what a probe of a
    // device name answered.
    void treeChanged(const DeviceTreeChange& change, DeviceTree& tree);
    void deviceNameProbed(const std::string& name, uint32_t result);
    void registryValueAsked(const std::string& name);
    // A device name's answer to the adapter-id request (the NDIS control device's).
    void adapterIdAnswered(const std::string& name, const std::u16string& id);

    void opened(SerialHandle handle, const std::wstring& devicePath) override;
    void closed(SerialHandle handle) override;
    void purged(SerialHandle handle, uint32_t flags) override;
    void wrote(SerialHandle handle, const uint8_t* bytes, uint32_t count) override;
    void received(SerialHandle handle, const uint8_t* bytes, uint32_t count) override;

private:
    friend struct RecordingText;

    struct Event {
        double timeMs = 0;
        std::string kind;
        int port = 0;
        std::string bytes;
        uint32_t number = 0;
        // A download frame: its kind; its length is `number`, its checksum `checksum`.
        std::string frame;
        uint32_t checksum = 0;
        // Tree changes: the change's kind and name; tree snapshots: the snapshot's index.
        std::string name;
    };
    struct PortRecord {
        std::string path;
        double openedMs = 0;
        std::string role;
        std::string node;
        std::string vendor;
        int tree = -1;
    };

    double nowMs() const;
    void add(Event event);
    int portOf(SerialHandle handle) const;
    // Names the port's role and node from the copy of the tree in force when it was opened, or,
    // when that one does not name it (a port may be opened before the copy of the tree it
    // arrived with is taken), the first later copy that does.
    void describePort(PortRecord& port) const;
    bool describePortFrom(PortRecord& port, size_t tree) const;

    const std::string path_;
    const std::string programVersion_;
    const std::chrono::steady_clock::time_point start_;
    std::shared_ptr<DeviceTree> previousTree_;
    std::shared_ptr<RecordingDeviceTree> recordingTree_;
    bool started_ = false;

    std::mutex mutex_;
    std::vector<Event> events_;
    std::vector<DeviceGroup> trees_;
    // Beside each tree: its topmost USB devices as the backend describes them.
    std::vector<std::vector<NativeUsbDevice>> nativeTrees_;
    std::vector<double> treeTimes_;
    std::vector<PortRecord> ports_;
    std::map<SerialHandle, int> openPorts_;
    std::map<std::string, std::string> interfaces_;
    std::map<std::string, uint32_t> deviceNames_;
    std::map<std::string, std::u16string> adapterIds_;
    std::set<std::string> valueNames_;
    std::string packageFirmware_;
    std::string packageSoftware_;
    bool resultKnown_ = false;
    int32_t result_ = 0;
};

} // namespace platform
