#include "platform/sim/ModemManagerSimulated.h"

#include "platform/Clock.h"
#include "platform/RegistryStore.h"

#include <nlohmann/json.hpp>

namespace platform {
namespace {

constexpr const char* kFileName = "/modemmanager.json";

// The modems of the file; false when it is missing or malformed (`detail` says which).
bool readModems(const std::string& file, nlohmann::json& state, std::string& detail) {
    std::string text;
    const uint32_t error = readWholeFile(file, text);
    if (error != RegistryError::kOk) {
        detail = error == RegistryError::kNotFound
                     ? "no " + file
                     : "cannot read " + file + ": " + std::to_string(error);
        return false;
    }
    state = nlohmann::json::parse(text, nullptr, false);
    if (!state.is_object() || !state.contains("modems") || !state["modems"].is_array()) {
        detail = file + " is malformed";
        return false;
    }
    for (const auto& modem : state["modems"])
        if (!modem.is_object() || !modem.value("device", nlohmann::json()).is_string() ||
            !modem.value("physdev", nlohmann::json()).is_string()) {
            detail = file + " is malformed";
            return false;
        }
    return true;
}

class SimulatedModemManager : public ModemManagerConnection {
public:
    explicit SimulatedModemManager(std::string file) : file_(std::move(file)) {}

    ModemManagerResult findModem(const std::string& kernelName, ModemEntry& modem,
                                 std::string& detail) override {
        nlohmann::json state;
        if (!readModems(file_, state, detail))
            return ModemManagerResult::failed;
        for (const auto& entry : state["modems"]) {
            const std::string physdev = entry["physdev"].get<std::string>();
            const size_t slash = physdev.rfind('/');
            if (physdev.substr(slash == std::string::npos ? 0 : slash + 1) == kernelName) {
                modem = {entry["device"].get<std::string>(), physdev, {}};
                return ModemManagerResult::ok;
            }
        }
        detail = "no modem on " + kernelName;
        return ModemManagerResult::notFound;
    }

    ModemManagerResult inhibit(const std::string& uid, bool inhibit, std::string& detail) override {
        FileLock lock(file_);
        nlohmann::json state;
        if (lock.error() != 0 || !readModems(file_, state, detail))
            return ModemManagerResult::failed;
        for (auto& entry : state["modems"]) {
            if (entry["device"] != uid)
                continue;
            if (inhibit && entry.value("inhibited", false)) {
                detail = "Device '" + uid + "' is already inhibited";
                return ModemManagerResult::inProgress;
            }
            if (!inhibit && !entry.value("inhibited", false)) {
                detail = "Device '" + uid + "' is not inhibited";
                return ModemManagerResult::notFound;
            }
            entry["inhibited"] = inhibit;
            if (replaceFileAtomically(file_, state.dump(2) + "\n") != 0) {
                detail = "cannot write " + file_;
                return ModemManagerResult::failed;
            }
            return ModemManagerResult::ok;
        }
        detail = "No device found with uid '" + uid + "'";
        return ModemManagerResult::notFound;
    }

    // The file stands for a running connection manager.
    std::string owner() override {
        std::string text;
        return readWholeFile(file_, text) == RegistryError::kOk ? kOwner : "";
    }

    bool watchOwner() override {
        seenOwner_ = owner();
        return true;
    }

    bool waitForOwnerChange(uint64_t ms) override {
        sleepMs(ms);
        const std::string now = owner();
        if (now == seenOwner_)
            return false;
        seenOwner_ = now;
        return true;
    }

private:
    static constexpr const char* kOwner = "simulated";
    std::string file_;
    // The answerer as last seen by the watch.
    std::string seenOwner_;
};

} // namespace

std::unique_ptr<ModemManagerConnection> openSimulatedModemManager(const std::string& root,
                                                                  ModemManagerResult& result,
                                                                  std::string& detail) {
    const std::string file = root + kFileName;
    nlohmann::json state;
    if (!readModems(file, state, detail)) {
        std::string text;
        result = readWholeFile(file, text) == RegistryError::kNotFound ? ModemManagerResult::absent
                                                                       : ModemManagerResult::failed;
        return nullptr;
    }
    result = ModemManagerResult::ok;
    return std::make_unique<SimulatedModemManager>(file);
}

} // namespace platform
