#include "platform/DeviceTree.h"

#include "platform/NativeBackend.h"
#include "platform/SystemPaths.h"
#include "platform/sim/SimulatedDeviceTree.h"

#include <mutex>

namespace platform {
namespace {

std::mutex treeMutex;
std::shared_ptr<DeviceTree> installedTree;
std::shared_ptr<DeviceTree> defaultTree;

} // namespace

std::shared_ptr<DeviceTree> deviceTree() {
    std::lock_guard<std::mutex> guard(treeMutex);
    if (installedTree)
        return installedTree;
    if (!defaultTree) {
        if (const auto root = simulatedMachineRoot())
            defaultTree = std::make_shared<SimulatedDeviceTree>(*root);
        else
            defaultTree = makeSystemDeviceTree();
    }
    return defaultTree;
}

std::shared_ptr<DeviceTree> installDeviceTree(std::shared_ptr<DeviceTree> tree) {
    std::lock_guard<std::mutex> guard(treeMutex);
    auto previous = std::move(installedTree);
    installedTree = std::move(tree);
    return previous;
}

} // namespace platform
