#include "platform/DeviceTreeFile.h"

#include <nlohmann/json.hpp>

namespace platform {
namespace {

using Json = nlohmann::json;

struct Reader {
    std::string& problem;

    bool fail(const std::string& what) {
        problem = what;
        return false;
    }

    bool text(const Json& object, const char* member, std::string& value,
              const std::string& where) {
        const auto found = object.find(member);
        if (found == object.end() || found->is_null())
            return true;
        if (!found->is_string())
            return fail(where + ": \"" + member + "\" is not a text");
        value = found->get<std::string>();
        return true;
    }

    bool flag(const Json& object, const char* member, uint32_t bit, uint32_t& bits,
              const std::string& where) {
        const auto found = object.find(member);
        if (found == object.end())
            return true;
        if (!found->is_boolean())
            return fail(where + ": \"" + member + "\" is not true or false");
        bits = found->get<bool>() ? bits | bit : bits & ~bit;
        return true;
    }

    bool status(const Json& object, DeviceNodeDescription& node, const std::string& where) {
        const auto found = object.find("status");
        if (found == object.end())
            return true;
        if (!found->is_object())
            return fail(where + ": \"status\" is not an object");
        const Json& status = *found;
        if (!flag(status, "driverLoaded", kNodeDriverLoaded, node.status, where) ||
            !flag(status, "started", kNodeStarted, node.status, where) ||
            !flag(status, "needToEnum", kNodeNeedToEnum, node.status, where) ||
            !flag(status, "hasProblem", kNodeHasProblem, node.status, where) ||
            !flag(status, "willBeRemoved", kNodeWillBeRemoved, node.status, where))
            return false;
        const auto problemNumber = status.find("problem");
        if (problemNumber != status.end()) {
            if (!problemNumber->is_number_unsigned())
                return fail(where + ": \"problem\" is not a number");
            node.problem = problemNumber->get<uint32_t>();
        }
        return true;
    }

    bool key(const Json& object, const char* member, std::map<std::string, RegistryValue>& values,
             const std::string& where) {
        const auto found = object.find(member);
        if (found == object.end() || found->is_null())
            return true;
        if (!found->is_object())
            return fail(where + ": \"" + member + "\" is not an object");
        for (auto value = found->begin(); value != found->end(); ++value) {
            RegistryValue entry;
            entry.isString = value->is_string();
            if (entry.isString)
                entry.text = value->get<std::string>();
            values[value.key()] = entry;
        }
        return true;
    }

    bool node(const Json& object, DeviceNodeDescription& node, size_t index) {
        std::string where = "node " + std::to_string(index);
        if (!object.is_object())
            return fail(where + " is not an object");
        const auto id = object.find("id");
        if (id == object.end() || !id->is_string() || id->get<std::string>().empty())
            return fail(where + " has no \"id\"");
        node.id = id->get<std::string>();
        where = "node \"" + node.id + "\"";
        if (!text(object, "parent", node.parent, where) ||
            !text(object, "enumerator", node.enumerator, where) ||
            !text(object, "instanceId", node.instanceId, where) ||
            !text(object, "classGuid", node.classGuid, where) ||
            !text(object, "friendlyName", node.friendlyName, where) ||
            !text(object, "deviceDesc", node.deviceDesc, where) || !status(object, node, where) ||
            !key(object, "hardwareKey", node.hardwareKey, where) ||
            !key(object, "driverKey", node.driverKey, where))
            return false;

        const auto ids = object.find("hardwareIds");
        if (ids != object.end()) {
            if (!ids->is_array())
                return fail(where + ": \"hardwareIds\" is not a list");
            for (const auto& item : *ids) {
                if (!item.is_string())
                    return fail(where + ": \"hardwareIds\" holds something other than texts");
                node.hardwareIds.push_back(item.get<std::string>());
            }
        }

        std::string version;
        if (!text(object, "driverVersion", version, where))
            return false;
        if (!version.empty()) {
            uint64_t parsed = 0;
            if (!parseDriverVersion(version, parsed))
                return fail(where + ": \"driverVersion\" is not of the form a.b.c.d");
            node.driverVersion = parsed;
        }

        const auto interfaces = object.find("interfaces");
        if (interfaces != object.end()) {
            if (!interfaces->is_array())
                return fail(where + ": \"interfaces\" is not a list");
            for (const auto& item : *interfaces) {
                DeviceInterface interface;
                if (!item.is_object())
                    return fail(where + ": an interface is not an object");
                if (!text(item, "classGuid", interface.classGuid, where) ||
                    !text(item, "name", interface.name, where))
                    return false;
                node.interfaces.push_back(interface);
            }
        }
        return true;
    }

    bool deviceNames(const Json& root, DeviceGroup& group) {
        const auto found = root.find("deviceNames");
        if (found == root.end() || found->is_null())
            return true;
        if (!found->is_object())
            return fail("\"deviceNames\" is not an object");
        for (auto entry = found->begin(); entry != found->end(); ++entry) {
            const std::string where = "device name \"" + entry.key() + "\"";
            if (!entry->is_object())
                return fail(where + " is not an object");
            DeviceNameDescription device;
            std::string open = "ok";
            std::string adapterId;
            if (!text(*entry, "open", open, where) ||
                !text(*entry, "netCfgInstanceId", adapterId, where))
                return false;
            if (open == "ok")
                device.openResult = 0;
            else if (open == "accessDenied")
                device.openResult = DeviceTree::kAccessDenied;
            else if (open == "notFound")
                device.openResult = DeviceTree::kNotFound;
            else
                return fail(where + ": \"open\" is not ok, accessDenied or notFound");
            // The ids are plain ASCII GUIDs; each byte becomes one UTF-16 unit.
            for (const char c : adapterId)
                device.adapterId.push_back(static_cast<unsigned char>(c));
            group.deviceNames[entry.key()] = device;
        }
        return true;
    }
};

Json printedKey(const std::map<std::string, RegistryValue>& values) {
    Json key = Json::object();
    for (const auto& [name, value] : values)
        key[name] = value.isString ? Json(value.text) : Json(nullptr);
    return key;
}

std::string printedDriverVersion(uint64_t version) {
    constexpr int kPartBits = 16;
    constexpr uint64_t kPartMask = 0xFFFF;
    std::string text;
    for (int part = 3; part >= 0; --part) {
        text += std::to_string((version >> (part * kPartBits)) & kPartMask);
        if (part != 0)
            text += ".";
    }
    return text;
}

Json printedNode(const DeviceNodeDescription& node) {
    Json object = {{"id", node.id},
                   {"parent", node.parent.empty() ? Json(nullptr) : Json(node.parent)}};
    if (!node.enumerator.empty())
        object["enumerator"] = node.enumerator;
    object["instanceId"] = node.instanceId;
    object["hardwareIds"] = node.hardwareIds;
    object["classGuid"] = node.classGuid;
    object["friendlyName"] = node.friendlyName;
    object["deviceDesc"] = node.deviceDesc;
    object["status"] = {{"driverLoaded", (node.status & kNodeDriverLoaded) != 0},
                        {"started", (node.status & kNodeStarted) != 0},
                        {"needToEnum", (node.status & kNodeNeedToEnum) != 0},
                        {"hasProblem", (node.status & kNodeHasProblem) != 0},
                        {"problem", node.problem},
                        {"willBeRemoved", (node.status & kNodeWillBeRemoved) != 0}};
    object["hardwareKey"] = printedKey(node.hardwareKey);
    object["driverKey"] = printedKey(node.driverKey);
    if (node.driverVersion)
        object["driverVersion"] = printedDriverVersion(*node.driverVersion);
    Json interfaces = Json::array();
    for (const DeviceInterface& interface : node.interfaces)
        interfaces.push_back({{"classGuid", interface.classGuid}, {"name", interface.name}});
    object["interfaces"] = interfaces;
    return object;
}

const char* openResultName(uint32_t result) {
    if (result == 0)
        return "ok";
    return result == DeviceTree::kAccessDenied ? "accessDenied" : "notFound";
}

} // namespace

std::string printDeviceFile(const DeviceGroup& group) {
    Json nodes = Json::array();
    for (const DeviceNodeDescription& node : group.nodes)
        nodes.push_back(printedNode(node));
    Json names = Json::object();
    for (const auto& [name, device] : group.deviceNames) {
        Json entry = {{"open", openResultName(device.openResult)}};
        if (!device.adapterId.empty()) {
            std::string adapterId;
            for (const char16_t unit : device.adapterId)
                adapterId.push_back(static_cast<char>(unit));
            entry["netCfgInstanceId"] = adapterId;
        }
        names[name] = entry;
    }
    const Json root = {{"nodes", nodes}, {"deviceNames", names}, {"mbInterfaces", Json::array()}};
    return root.dump(2, ' ', false, Json::error_handler_t::replace);
}

bool parseDeviceFile(const std::string& text, DeviceGroup& group, std::string& problem) {
    group = DeviceGroup();
    Reader reader{problem};
    const Json root = Json::parse(text, nullptr, false);
    if (root.is_discarded())
        return reader.fail("not valid JSON");
    if (!root.is_object())
        return reader.fail("not a JSON object");
    const auto nodes = root.find("nodes");
    if (nodes != root.end() && !nodes->is_null()) {
        if (!nodes->is_array())
            return reader.fail("\"nodes\" is not a list");
        size_t index = 0;
        for (const auto& item : *nodes) {
            DeviceNodeDescription node;
            if (!reader.node(item, node, index++))
                return false;
            group.nodes.push_back(std::move(node));
        }
    }
    if (!reader.deviceNames(root, group))
        return false;
    return validateDeviceGroup(group, problem);
}

} // namespace platform
