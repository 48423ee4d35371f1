#pragma once

#include "platform/DeviceTree.h"

#include <string>

namespace platform {

// The real system's device tree. Enumerating the system's devices is not built yet: the tree
// is empty and sends no notifications, while device names open on the real file system.
class LinuxDeviceTree : public DeviceTree {
public:
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
};

// The file a device name stands for: "\\.\NAME" is /dev/NAME, anything else is used as it is.
std::string devicePath(const std::string& name);

// Opens a device name on the file system and closes it again. A port (Exclusive) is opened for
// reading and writing with a non-blocking exclusive lock, so one held by another program gives
// kAccessDenied.
uint32_t probeSystemDevice(const std::string& name, OpenMode mode);

} // namespace platform
