#pragma once

#include "platform/DeviceTree.h"
#include "platform/DeviceTreeInMemory.h"

#include <map>
#include <set>
#include <string>
#include <vector>

// A copy of the USB devices of a device tree as the tree answers for them, in the form of a
// simulated machine's device file, so that a copy taken on one machine can be published on
// another as it is.
namespace platform {

// The registry values every copy asks for, beside any the caller names.
extern const char* const kSnapshotValueNames[];

// Every node of the USB enumerator, and every node below one, with its ids, names, status, values
// of `valueNames` (and of kSnapshotValueNames) in both keys, setup class and driver version. Node
// ids are "n" and the node number; a node whose parent is not a USB node has none. `interfaces`
// (interface name to class, as the tree announced them) are given to the node whose instance id
// they name.
DeviceGroup snapshotUsbDevices(DeviceTree& tree, const std::set<std::string>& valueNames,
                               const std::map<std::string, std::string>& interfaces);

// A USB device as the backend itself describes it (DeviceTree::nativeDescription), with every
// device below it.
struct NativeUsbDevice {
    std::string instanceId;
    std::string description;
    // No USB device is above it (a root hub); a card below a hub is not topmost.
    bool topmost = false;
};

// The backend's own descriptions of each vendor's outermost USB devices: those not below a
// device of the same vendor (a card below its hub, the hub itself).
std::vector<NativeUsbDevice> nativeUsbDevices(DeviceTree& tree);

// The devices of `group` whose vendor token ("VID_1234") is one of `vendors`, with every node
// below them; the topmost of each made top-level.
DeviceGroup devicesOfVendors(const DeviceGroup& group, const std::set<std::string>& vendors);

// The vendor token of an instance or hardware id ("VID_1234"), empty when it has none.
std::string vendorToken(const std::string& id);

} // namespace platform
