#pragma once

#include "platform/DeviceTree.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace platform {

class SessionRecorder;

// A device tree that passes every call to the tree it wraps and lets a session recorder hear of
// every change (with the interface classes any caller asked for) and of what the probes of
// device names answered. Its own listener is called after the callers' listeners.
class RecordingDeviceTree : public DeviceTree {
public:
    RecordingDeviceTree(std::shared_ptr<DeviceTree> inner, SessionRecorder& recorder);
    ~RecordingDeviceTree() override;

    uint32_t devicesOfClass(const std::string& classGuid, std::vector<DevNode>& nodes) override;
    uint32_t devicesOfEnumerator(const std::string& enumerator,
                                 std::vector<DevNode>& nodes) override;
    uint32_t parent(DevNode node, DevNode& parentNode) override;
    uint32_t children(DevNode node, std::vector<DevNode>& childNodes) override;
    uint32_t instanceId(DevNode node, std::string& id) override;
    uint32_t hardwareIds(DevNode node, std::vector<std::string>& ids) override;
    uint32_t textProperty(DevNode node, TextProperty property, std::string& value) override;
    uint32_t status(DevNode node, uint32_t& statusBits, uint32_t& problem) override;
    uint32_t registryValue(DevNode node, RegistryKey key, const std::string& name,
                           std::string& value) override;
    uint32_t enumClassGuid(const std::string& instanceId, std::string& classGuid) override;
    uint32_t driverVersion(const std::string& instanceId, uint64_t& version) override;
    uint32_t probeDevice(const std::string& name, OpenMode mode) override;
    uint32_t controlDevice(const std::string& name, uint32_t code, void* output, size_t outputSize,
                           size_t& returned) override;
    uint64_t subscribe(const NotificationFilter& filter, DeviceTreeListener listener) override;
    void unsubscribe(uint64_t id) override;
    std::string nativeDescription(DevNode node) override;

    DeviceTree& inner() { return *inner_; }
    // The recorder hears of nothing more; after return none of its calls is running.
    void detach();

private:
    // Subscribes the recorder for the union of the classes asked for so far.
    void listenFor(const std::vector<std::string>& classes);

    std::shared_ptr<DeviceTree> inner_;
    // Null once detached. Calls into the recorder hold `recorderMutex_`, so detach waits for them.
    SessionRecorder* recorder_;
    std::mutex recorderMutex_;
    std::mutex mutex_;
    std::set<std::string> classes_;
    uint64_t recorderSubscription_ = 0;
};

} // namespace platform
