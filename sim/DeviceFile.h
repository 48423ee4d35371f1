#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The device files of the simulated machine: DIR/devices/NAME.json holds the nodes of one piece
// of simulated hardware; writing it plugs them in, removing it unplugs them.
namespace cardsim {

struct RegistryEntry {
    std::string name;
    bool isNumber = false;
    std::string text;
    uint32_t number = 0;

    static RegistryEntry string(std::string name, std::string text) {
        return RegistryEntry{std::move(name), false, std::move(text), 0};
    }
    static RegistryEntry dword(std::string name, uint32_t number) {
        return RegistryEntry{std::move(name), true, std::string(), number};
    }
};

struct NodeStatus {
    bool driverLoaded = true;
    bool started = true;
    bool needToEnum = false;
    bool hasProblem = false;
    uint32_t problem = 0;
    bool willBeRemoved = false;
};

struct NodeInterface {
    std::string classGuid;
    std::string name;
};

struct DeviceNode {
    std::string id;
    // Empty: a root node ("parent": null).
    std::string parent;
    std::string enumerator;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::string classGuid;
    std::string friendlyName;
    std::string deviceDesc;
    NodeStatus status;
    std::vector<RegistryEntry> hardwareKey;
    std::vector<RegistryEntry> driverKey;
    std::string driverVersion;
    std::vector<NodeInterface> interfaces;
};

// An openable device name ("lmuhsbus0"): open is "ok", "accessDenied" or "notFound".
struct DeviceName {
    std::string name;
    std::string open = "ok";
    std::string netCfgInstanceId;
};

struct DeviceFileContent {
    std::vector<DeviceNode> nodes;
    std::vector<DeviceName> deviceNames;
    std::vector<std::string> mbInterfaces;
};

// DIR/devices/NAME.json.
std::string deviceFilePath(const std::string& root, const std::string& name);

// The JSON text of a device file.
std::string deviceFileText(const DeviceFileContent& content);

// Writes the file atomically (a temporary file beside it, then a rename), creating its folder.
// False with `problem` set on failure.
bool writeDeviceFile(const std::string& path, const DeviceFileContent& content,
                     std::string* problem = nullptr);

// Unplugs: removes the file. True when it is gone afterwards.
bool removeDeviceFile(const std::string& path);

// Writes `text` to `path` atomically; shared by the simulator's files.
bool writeFileAtomically(const std::string& path, const std::string& text,
                         std::string* problem = nullptr);

} // namespace cardsim
