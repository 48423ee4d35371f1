#pragma once

#include "platform/DeviceTreeInMemory.h"
#include "platform/FolderWatcher.h"

#include <functional>
#include <string>

namespace platform {

// The simulated machine's device tree: the union of DIR/devices/*.json. The folder is watched
// with inotify; every file that is written, renamed into place or removed changes the tree and
// notifies the listeners from the watcher thread. A file that is not a valid device file is
// reported through `diagnostics` and contributes nothing.
class SimulatedDeviceTree : public InMemoryDeviceTree {
public:
    using Diagnostics = std::function<void(const std::string&)>;

    // Reads the files present now (without notifications) and starts watching. An empty
    // `diagnostics` writes to standard error.
    explicit SimulatedDeviceTree(const std::string& machineRoot, Diagnostics diagnostics = {});
    ~SimulatedDeviceTree() override;

    SimulatedDeviceTree(const SimulatedDeviceTree&) = delete;
    SimulatedDeviceTree& operator=(const SimulatedDeviceTree&) = delete;

    // False when the folder could not be watched (the tree then stays as first read).
    bool watching() const { return watcher_.watching(); }

private:
    void loadFile(const std::string& fileName, bool notify);
    void filesChanged(const FolderWatcher::Batch& batch);
    void report(const std::string& text);

    std::string folder_;
    Diagnostics diagnostics_;
    FolderWatcher watcher_;
};

} // namespace platform
