#include "platform/sim/SimulatedDeviceTree.h"

#include "platform/DeviceTreeFile.h"
#include "platform/SystemPaths.h"
#include "platform/sim/DeviceFolder.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace platform {

SimulatedDeviceTree::SimulatedDeviceTree(const std::string& machineRoot, Diagnostics diagnostics)
    : folder_(machineRoot + kDevicesFolder), diagnostics_(std::move(diagnostics)) {
    createFolders(folder_);
    std::string problem;
    constexpr uint32_t kChanges = FolderWatcher::kWritten | FolderWatcher::kMovedIn |
                                  FolderWatcher::kMovedOut | FolderWatcher::kDeleted;
    const bool watched = watcher_.watch({{folder_, kChanges}}, &problem);
    if (!watched)
        report(problem);
    // Files present now are read after the watch is in place, so no change is missed.
    for (const auto& name : deviceFilesIn(folder_))
        loadFile(name, false);
    if (watched &&
        !watcher_.start([this](const FolderWatcher::Batch& batch) { filesChanged(batch); },
                        [this](const std::string& text) { report("device file " + text); },
                        &problem))
        report(problem);
}

SimulatedDeviceTree::~SimulatedDeviceTree() {
    watcher_.stop();
}

void SimulatedDeviceTree::report(const std::string& text) {
    if (diagnostics_)
        diagnostics_(text);
    else
        std::fprintf(stderr, "kestrel: %s\n", text.c_str());
}

void SimulatedDeviceTree::loadFile(const std::string& fileName, bool notify) {
    const std::string path = folder_ + "/" + fileName;
    std::string text;
    std::string problem;
    DeviceGroup group;
    switch (readDeviceFile(path, text, problem)) {
    case DeviceFileRead::Missing:
        removeGroup(fileName);
        return;
    case DeviceFileRead::Failed:
        report("device file " + path + " cannot be read (" + problem + "), ignoring it");
        removeGroup(fileName);
        return;
    case DeviceFileRead::Read:
        break;
    }
    if (!parseDeviceFile(text, group, problem)) {
        report("device file " + path + " ignored: " + problem);
        removeGroup(fileName);
        return;
    }
    if (notify)
        setGroup(fileName, group);
    else
        setGroupSilently(fileName, group);
}

// One batch of events may name a file several times; each changed file is read once, in the
// order of its first event. After lost events every file may have changed. A file that was
// removed within the batch left: its devices are unplugged before whatever file now has the
// name is read, so a card that came back before the watcher looked is still seen leaving.
void SimulatedDeviceTree::filesChanged(const FolderWatcher::Batch& batch) {
    std::vector<std::string> changed;
    std::vector<std::string> removed;
    auto add = [&changed](const std::string& name) {
        if (std::find(changed.begin(), changed.end(), name) == changed.end())
            changed.push_back(name);
    };
    if (batch.overflow) {
        for (const auto& name : groupNames())
            add(name);
        for (const auto& name : deviceFilesIn(folder_))
            add(name);
    }
    for (const auto& change : batch.changes) {
        if (!isDeviceFile(change.name))
            continue;
        add(change.name);
        if (change.removed)
            removed.push_back(change.name);
    }
    for (const auto& name : changed) {
        if (std::find(removed.begin(), removed.end(), name) != removed.end())
            removeGroup(name);
        loadFile(name, true);
    }
}

} // namespace platform
