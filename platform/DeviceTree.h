#pragma once

#include "platform/Win32Error.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the detection library asks of the system's device enumeration: present devices by setup
// class or by enumerator, the tree of device nodes, their ids, names, status, registry values
// and driver version, device names that can be opened, and device-change notifications.
// Results are Win32 error numbers (0 success); texts are UTF-8.
namespace platform {

// A device node number, stable while the node is present. 0 is never a node.
using DevNode = uint32_t;

// Node status bits and the problem number that matter to detection.
constexpr uint32_t kNodeDriverLoaded = 0x00000002;
constexpr uint32_t kNodeStarted = 0x00000008;
constexpr uint32_t kNodeNeedToEnum = 0x00000020;
constexpr uint32_t kNodeHasProblem = 0x00000400;
constexpr uint32_t kNodeWillBeRemoved = 0x00040000;
constexpr uint32_t kProblemNotConfigured = 1;

// Device setup classes.
constexpr const char* kClassModem = "{4D36E96D-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kClassPorts = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kClassNet = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kClassSmartCardReader = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}";
constexpr const char* kClassMultifunction = "{4D36E971-E325-11CE-BFC1-08002BE10318}";

// The request that asks a WWAN NDIS control device for its adapter's NetCfgInstanceId
// (UTF-16, no input).
constexpr uint32_t kRequestAdapterId = 0x001B2840;

enum class TextProperty { FriendlyName, DeviceDescription };
enum class RegistryKey { Hardware, Driver };

// How a device name is opened: without access rights and shared (probing a driver device), or
// for reading and writing without sharing (a port).
enum class OpenMode { Query, Exclusive };

struct DeviceTreeChange {
    enum class Kind { InterfaceArrival, InterfaceRemoval, PortArrival, PortRemoval, NodesChanged };
    Kind kind = Kind::NodesChanged;
    std::string interfaceClass; // interface events only
    std::string name;           // interface name, or the port name ("COM3", "pts/7")
};

// Which notifications a listener wants: interfaces of the listed classes, ports, and the
// "device nodes changed" event that follows every change.
struct NotificationFilter {
    std::vector<std::string> interfaceClasses;
    bool ports = true;
    bool nodesChanged = true;
};

using DeviceTreeListener = std::function<void(const DeviceTreeChange&)>;

class DeviceTree {
public:
    // Win32 error numbers the backends report.
    static constexpr uint32_t kInvalidFunction = 1;
    static constexpr uint32_t kNotFound = kErrorFileNotFound;
    static constexpr uint32_t kAccessDenied = kErrorAccessDenied;
    static constexpr uint32_t kInvalidHandle = 6;
    static constexpr uint32_t kInvalidData = 13;
    static constexpr uint32_t kInvalidParameter = 87;
    static constexpr uint32_t kNoSuchDevNode = 0xE000020B;

    virtual ~DeviceTree() = default;

    // Present devices of a setup class, or of an enumerator ("USB", "PCMCIA", "PCI") in all
    // classes, in enumeration order.
    virtual uint32_t devicesOfClass(const std::string& classGuid, std::vector<DevNode>& nodes) = 0;
    virtual uint32_t devicesOfEnumerator(const std::string& enumerator,
                                         std::vector<DevNode>& nodes) = 0;

    // The parent of a node (the root node for top-level devices; kNoSuchDevNode above the
    // root) and the direct children in order.
    virtual uint32_t parent(DevNode node, DevNode& parentNode) = 0;
    virtual uint32_t children(DevNode node, std::vector<DevNode>& childNodes) = 0;

    virtual uint32_t instanceId(DevNode node, std::string& id) = 0;
    // kInvalidData when the node has none.
    virtual uint32_t hardwareIds(DevNode node, std::vector<std::string>& ids) = 0;
    virtual uint32_t textProperty(DevNode node, TextProperty property, std::string& value) = 0;
    virtual uint32_t status(DevNode node, uint32_t& statusBits, uint32_t& problem) = 0;

    // A string value of the node's hardware or driver key: kInvalidHandle when the key cannot
    // be opened, kNotFound when the value is missing, kInvalidData when it is not a string.
    virtual uint32_t registryValue(DevNode node, RegistryKey key, const std::string& name,
                                   std::string& value) = 0;
    // The "ClassGUID" value of the device's Enum key, by instance id.
    virtual uint32_t enumClassGuid(const std::string& instanceId, std::string& classGuid) = 0;
    // The version of the first compatible driver: kNotFound for an empty driver list.
    virtual uint32_t driverVersion(const std::string& instanceId, uint64_t& version) = 0;

    // Opens a device name ("\\.\NAME" or a path) and closes it again at once.
    virtual uint32_t probeDevice(const std::string& name, OpenMode mode) = 0;
    // Opens a device name and sends it a control request without input; `returned` tells how
    // many bytes of `output` were filled.
    virtual uint32_t controlDevice(const std::string& name, uint32_t code, void* output,
                                   size_t outputSize, size_t& returned) = 0;

    // Registers a listener; it is called on a thread of the backend, one change at a time,
    // and must not call back into subscribe or unsubscribe. Returns an id for unsubscribe, or
    // 0 when the backend cannot deliver notifications.
    virtual uint64_t subscribe(const NotificationFilter& filter, DeviceTreeListener listener) = 0;
    // After return the listener is no longer called.
    virtual void unsubscribe(uint64_t id) = 0;

    // The backend's own description of a node and everything below it, as a test machine of the
    // same backend loads it (udev's devices in umockdev's text format on Linux); empty where the
    // backend has none. For session recordings.
    virtual std::string nativeDescription(DevNode /*node*/) { return std::string(); }
};

// The device tree of this process: the simulated machine's when KESTREL_SIM_ROOT is set, the
// real system's otherwise, unless a test installed another one.
std::shared_ptr<DeviceTree> deviceTree();

// Replaces the process's device tree (tests); null returns to the default. Gives the previous.
std::shared_ptr<DeviceTree> installDeviceTree(std::shared_ptr<DeviceTree> tree);

} // namespace platform
