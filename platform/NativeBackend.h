#pragma once

#include "platform/DeviceTree.h"
#include "platform/ModemManager.h"
#include "platform/Power.h"
#include "platform/PowerWatcher.h"
#include "platform/RegistryStore.h"
#include "platform/Service.h"
#include "platform/SleepInhibitor.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The real system's side of the facilities that choose, at run time, between the simulated
// machine and the system the program runs on. Each system's backend folder defines these once
// (platform/linux/, platform/windows/); the code that chooses stays shared.
namespace platform {

// Whether a simulated machine also stands in for the registry and the services. On Linux it
// does; on Windows they stay the system's own (wine's, in tests), as only the card's hardware
// needs simulating there.
bool simulatedMachineHoldsRegistryAndServices();

// The system's own registry as the machine's registry store (Windows); where the store is a
// file (Linux) these answer kBadArgument. Keys are full paths ("HKEY_LOCAL_MACHINE\Software").
bool systemRegistryIsTheStore();
uint32_t systemRegistryCreateKey(const std::string& key);
uint32_t systemRegistrySetValue(const std::string& key, const std::string& name,
                                const RegistryStoreValue& value);
uint32_t systemRegistryDeleteValue(const std::string& key, const std::string& name);
uint32_t systemRegistryQueryValue(const std::string& key, const std::string& name,
                                  RegistryStoreValue& value);
uint32_t systemRegistryValueNames(const std::string& key, std::vector<std::string>& names);

// The system's device tree.
std::shared_ptr<DeviceTree> makeSystemDeviceTree();

// Opens a device name of the real system and closes it again, as DeviceTree::probeDevice.
uint32_t probeSystemDevice(const std::string& name, OpenMode mode);

// The system's service control manager, or null with the error in `error`.
std::unique_ptr<ServiceManager> connectSystemServiceManager(uint32_t& error);

// The system's power status, and the source of its power broadcasts (null when there is none).
PowerStatus readSystemPowerStatus();
std::unique_ptr<PowerSource> startSystemPowerSource();

// The system's connection manager for modems (ModemManager on the system bus on Linux), or null
// with `result` absent or failed.
std::unique_ptr<ModemManagerConnection> openModemManagerOnSystemBus(ModemManagerResult& result,
                                                                    std::string& detail);

// The system's sleep and shutdown inhibitor (logind's Inhibit on Linux), or null with `result`
// absent or failed.
std::unique_ptr<InhibitorLock> takeSystemInhibitor(const std::string& what, const std::string& who,
                                                   const std::string& why, const std::string& mode,
                                                   InhibitResult& result, std::string& detail);

} // namespace platform
