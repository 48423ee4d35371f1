#pragma once

#include "platform/DeviceTree.h"
#include "platform/windows/HiddenWindowThread.h"

#include <map>
#include <mutex>

namespace platform {

// The real system's device tree through SetupAPI and the configuration manager: device node
// numbers are the configuration manager's device instances. Device-change notifications come
// from WM_DEVICECHANGE on a hidden window registered for every interface class, started with
// the first subscription; a subscription fails (0) when that window or its registration
// cannot be made. SetupAPI and the configuration manager are reached through setupApiCalls().
class SetupApiDeviceTree : public DeviceTree {
public:
    SetupApiDeviceTree() = default;
    ~SetupApiDeviceTree() override;
    SetupApiDeviceTree(const SetupApiDeviceTree&) = delete;
    SetupApiDeviceTree& operator=(const SetupApiDeviceTree&) = delete;

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

private:
    struct Subscription {
        NotificationFilter filter;
        DeviceTreeListener listener;
    };

    // Starts the hidden window and registers it for every interface class; under mutex_.
    bool startListening();
    bool deviceChange(WPARAM event, LPARAM data);
    void deliver(const DeviceTreeChange& change);

    std::mutex mutex_;
    std::map<uint64_t, Subscription> subscriptions_;
    uint64_t nextId_ = 1;
    HiddenWindowThread window_;
    bool listening_ = false;
};

} // namespace platform
