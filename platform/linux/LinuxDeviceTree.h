#pragma once

#include "platform/DeviceTreeInMemory.h"
#include "platform/linux/UdevSettledTree.h"
#include "platform/linux/UdevMonitor.h"

#include <string>
#include <vector>

struct udev;

namespace platform {

// The real system's device tree, read from udev: the USB devices and their interfaces as
// UdevDeviceTable describes them, enumerated once and then followed through udev's events.
// A card is shown once it has settled and taken away at its first remove or unbind
// (UdevSettledTree); each such change sends the interface and port arrivals and removals it
// causes and "device nodes changed", from the monitor's thread; node numbers are never reused.
// Device names open on the real file system (the maker's bus and NDIS control devices do not
// exist on Linux).
class LinuxDeviceTree : public InMemoryDeviceTree {
public:
    LinuxDeviceTree();
    ~LinuxDeviceTree() override;
    LinuxDeviceTree(const LinuxDeviceTree&) = delete;
    LinuxDeviceTree& operator=(const LinuxDeviceTree&) = delete;

    // False when udev's events cannot be followed (the tree then stays as first read).
    bool monitoring() const { return monitoring_; }

    // The udev devices of a node (its sysfs path) and below, in umockdev's text format.
    std::string nativeDescription(DevNode node) override;

private:
    std::vector<UdevDeviceRecord> enumerate();
    void deviceEvent(const std::string& action, const UdevDeviceRecord& record);
    void eventsLost();
    int showDue();

    udev* context_ = nullptr;
    // Filled by the constructor, then used by the monitor's thread only.
    UdevSettledTree tree_;
    bool monitoring_ = false;
    UdevMonitor monitor_;
};

// The file a device name stands for: "\\.\NAME" is /dev/NAME, anything else is used as it is.
std::string devicePath(const std::string& name);

} // namespace platform
