#include "sim/DeviceFile.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace cardsim {

namespace {

using Json = nlohmann::ordered_json;

Json registryKey(const std::vector<RegistryEntry>& entries) {
    Json key = Json::object();
    for (const RegistryEntry& entry : entries) {
        if (entry.isNumber)
            key[entry.name] = entry.number;
        else
            key[entry.name] = entry.text;
    }
    return key;
}

Json nodeJson(const DeviceNode& node) {
    Json object;
    object["id"] = node.id;
    object["parent"] = node.parent.empty() ? Json() : Json(node.parent);
    object["enumerator"] = node.enumerator;
    object["instanceId"] = node.instanceId;
    object["hardwareIds"] = node.hardwareIds;
    object["classGuid"] = node.classGuid;
    object["friendlyName"] = node.friendlyName;
    object["deviceDesc"] = node.deviceDesc;
    object["status"] = {
        {"driverLoaded", node.status.driverLoaded}, {"started", node.status.started},
        {"needToEnum", node.status.needToEnum},     {"hasProblem", node.status.hasProblem},
        {"problem", node.status.problem},           {"willBeRemoved", node.status.willBeRemoved}};
    object["hardwareKey"] = registryKey(node.hardwareKey);
    object["driverKey"] = registryKey(node.driverKey);
    object["driverVersion"] = node.driverVersion;
    Json interfaces = Json::array();
    for (const NodeInterface& interface : node.interfaces)
        interfaces.push_back({{"classGuid", interface.classGuid}, {"name", interface.name}});
    object["interfaces"] = interfaces;
    return object;
}

} // namespace

std::string deviceFilePath(const std::string& root, const std::string& name) {
    return root + "/devices/" + name + ".json";
}

std::string deviceFileText(const DeviceFileContent& content) {
    Json root;
    Json nodes = Json::array();
    for (const DeviceNode& node : content.nodes)
        nodes.push_back(nodeJson(node));
    root["nodes"] = nodes;
    Json names = Json::object();
    for (const DeviceName& name : content.deviceNames) {
        Json entry = {{"open", name.open}};
        if (!name.netCfgInstanceId.empty())
            entry["netCfgInstanceId"] = name.netCfgInstanceId;
        names[name.name] = entry;
    }
    root["deviceNames"] = names;
    root["mbInterfaces"] = content.mbInterfaces;
    return root.dump(2) + "\n";
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string* problem) {
    static std::atomic<unsigned> sequence{0};
    const std::filesystem::path target(path);
    std::error_code error;
    if (target.has_parent_path())
        std::filesystem::create_directories(target.parent_path(), error);
    // A name that starts with a dot and does not end in ".json" is never taken for a device file.
    const std::filesystem::path temporary =
        target.parent_path() /
        ("." + target.filename().string() + ".tmp" + std::to_string(sequence++));
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            if (problem != nullptr)
                *problem = "cannot write " + temporary.string();
            std::filesystem::remove(temporary, error);
            return false;
        }
    }
    std::filesystem::rename(temporary, target, error);
    if (error) {
        if (problem != nullptr)
            *problem = "cannot rename to " + path + ": " + error.message();
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

bool writeDeviceFile(const std::string& path, const DeviceFileContent& content,
                     std::string* problem) {
    return writeFileAtomically(path, deviceFileText(content), problem);
}

bool removeDeviceFile(const std::string& path) {
    std::error_code error;
    std::filesystem::remove(path, error);
    return !std::filesystem::exists(path, error);
}

} // namespace cardsim
