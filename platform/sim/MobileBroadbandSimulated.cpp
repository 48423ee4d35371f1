#include "platform/sim/MobileBroadbandSimulated.h"

#include "platform/SystemPaths.h"
#include "platform/sim/DeviceFolder.h"
#include "platform/FolderWatcher.h"
#include "platform/Text.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace platform {
namespace {

bool listed(const std::vector<std::string>& ids, const std::string& id) {
    return std::any_of(ids.begin(), ids.end(),
                       [&](const std::string& x) { return equalIgnoringCase(x, id); });
}

class SimulatedWatch : public MobileBroadbandWatch {
public:
    SimulatedWatch(std::string root, MobileBroadbandListener listener)
        : root_(std::move(root)), listener_(std::move(listener)) {
        const std::string folder = root_ + kDevicesFolder;
        createFolders(folder); // the watch needs the folder; it may exist already
        constexpr uint32_t kChanges = FolderWatcher::kWritten | FolderWatcher::kMovedIn |
                                      FolderWatcher::kMovedOut | FolderWatcher::kDeleted;
        const bool watched = watcher_.watch({{folder, kChanges}});
        known_ = simulatedMobileBroadbandInterfaces(root_);
        if (watched)
            watcher_.start([this](const FolderWatcher::Batch& batch) { filesChanged(batch); });
    }

    ~SimulatedWatch() override { watcher_.stop(); }

private:
    void filesChanged(const FolderWatcher::Batch& batch) {
        const bool relevant =
            batch.overflow ||
            std::any_of(batch.changes.begin(), batch.changes.end(),
                        [](const auto& change) { return isDeviceFile(change.name); });
        if (relevant)
            refresh();
    }

    void refresh() {
        const auto now = simulatedMobileBroadbandInterfaces(root_);
        for (const auto& id : known_)
            if (!listed(now, id))
                listener_(MobileBroadbandEvent::Removal, id);
        for (const auto& id : now)
            if (!listed(known_, id))
                listener_(MobileBroadbandEvent::Arrival, id);
        known_ = now;
    }

    std::string root_;
    MobileBroadbandListener listener_;
    std::vector<std::string> known_;
    FolderWatcher watcher_;
};

} // namespace

bool parseMobileBroadbandInterfaces(const std::string& text, std::vector<std::string>& ids) {
    ids.clear();
    const auto document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return false;
    const auto found = document.find("mbInterfaces");
    if (found == document.end() || found->is_null())
        return true;
    if (!found->is_array())
        return false;
    for (const auto& entry : *found)
        if (entry.is_string() && !entry.get<std::string>().empty())
            ids.push_back(entry.get<std::string>());
    return true;
}

std::vector<std::string> simulatedMobileBroadbandInterfaces(const std::string& root) {
    const std::string folder = root + kDevicesFolder;
    std::vector<std::string> ids;
    for (const auto& name : deviceFilesIn(folder)) {
        std::string text;
        std::string problem;
        std::vector<std::string> found;
        if (readDeviceFile(folder + "/" + name, text, problem) != DeviceFileRead::Read ||
            !parseMobileBroadbandInterfaces(text, found))
            continue;
        for (const auto& id : found)
            if (!listed(ids, id))
                ids.push_back(id);
    }
    return ids;
}

std::unique_ptr<MobileBroadbandWatch>
watchSimulatedMobileBroadband(const std::string& root, MobileBroadbandListener listener) {
    return std::make_unique<SimulatedWatch>(root, std::move(listener));
}

} // namespace platform
