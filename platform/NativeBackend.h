#pragma once

#include "platform/DeviceTree.h"
#include "platform/Power.h"
#include "platform/PowerWatcher.h"
#include "platform/Service.h"

#include <cstdint>
#include <memory>
#include <string>

// The real system's side of the facilities that choose, at run time, between the simulated
// machine and the system the program runs on. Each system's backend folder defines these once
// (platform/linux/, platform/windows/); the code that chooses stays shared.
namespace platform {

// The system's device tree.
std::shared_ptr<DeviceTree> makeSystemDeviceTree();

// Opens a device name of the real system and closes it again, as DeviceTree::probeDevice.
uint32_t probeSystemDevice(const std::string& name, OpenMode mode);

// The system's service control manager, or null with the error in `error`.
std::unique_ptr<ServiceManager> connectSystemServiceManager(uint32_t& error);

// The system's power status, and the source of its power broadcasts (null when there is none).
PowerStatus readSystemPowerStatus();
std::unique_ptr<PowerSource> startSystemPowerSource();

} // namespace platform
