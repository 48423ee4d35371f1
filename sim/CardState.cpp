#include "sim/CardState.h"

#include "sim/DeviceFile.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace cardsim {

namespace {

using Json = nlohmann::ordered_json;

template <class Value> void take(const Json& object, const char* name, Value& value) {
    const auto found = object.find(name);
    if (found != object.end() && !found->is_null())
        value = found->get<Value>();
}

} // namespace

std::string CardState::identityText() const {
    return "Manufacturer: " + manufacturer + "\r\nModel: " + model + "\r\nRevision: " + revision +
           " (Date: " + date + ", Time: " + time + ")\r\n";
}

bool loadCardState(const std::string& path, CardState& state, std::string* problem) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream text;
    text << in.rdbuf();
    try {
        const Json root = Json::parse(text.str());
        if (!root.is_object())
            throw std::runtime_error("not an object");
        CardState loaded = state;
        take(root, "manufacturer", loaded.manufacturer);
        take(root, "model", loaded.model);
        take(root, "revision", loaded.revision);
        take(root, "date", loaded.date);
        take(root, "time", loaded.time);
        take(root, "softwareVersion", loaded.softwareVersion);
        take(root, "lmCode", loaded.lmCode);
        take(root, "cbcSettings", loaded.cbcSettings);
        take(root, "mode", loaded.mode);
        take(root, "extra", loaded.extra);
        state = loaded;
        return true;
    } catch (const std::exception& error) {
        if (problem != nullptr)
            *problem = path + ": " + error.what();
        return false;
    }
}

bool saveCardState(const std::string& path, const CardState& state, std::string* problem) {
    Json root;
    root["manufacturer"] = state.manufacturer;
    root["model"] = state.model;
    root["revision"] = state.revision;
    root["date"] = state.date;
    root["time"] = state.time;
    root["softwareVersion"] = state.softwareVersion;
    root["lmCode"] = state.lmCode;
    root["cbcSettings"] = state.cbcSettings;
    root["mode"] = state.mode;
    root["extra"] = state.extra;
    return writeFileAtomically(path, root.dump(2) + "\n", problem);
}

} // namespace cardsim
