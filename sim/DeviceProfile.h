#pragma once

#include "sim/CardProfile.h"
#include "sim/DeviceFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How the drivers of a card model publish its device nodes: the composite device, its
// interface and function children with their ids, ports with friendly names and "PortName",
// the modem, the network adapter with its "NetCfgInstanceId", the smart card reader, and the
// bus and NDIS device names. Drivers bring them up one after the other, so a profile publishes
// in stages with a delay before each stage after the first; a node's device interfaces are
// announced once its driver has started, with the interface classes the drivers register (COM
// port, modem, network, smart card reader, USB device).
//
// In texts and registry values "{app}" stands for the application port's pseudo-terminal and
// "{diag}" for the diagnostic port's.
namespace cardsim {

struct ProfileNode {
    DeviceNode node;
    // The stage at which the node appears.
    size_t stage = 0;
    // The stage from which its driver is started; before it the node is loaded but not started.
    size_t startedStage = 0;
};

struct ProfileDeviceName {
    DeviceName name;
    size_t stage = 0;
};

struct DeviceProfile {
    std::string name;
    // The card database section whose card this is.
    std::string section;
    // The model the card names in its identity, and its product code (LM code).
    std::string model;
    std::string lmCode;
    std::vector<ProfileNode> nodes;
    std::vector<ProfileDeviceName> deviceNames;
    // The delay before each stage after the first (stage i waits stageDelaysMs[i - 1]).
    std::vector<uint64_t> stageDelaysMs;
    // Whether the card uses its diagnostic port.
    bool diagnosticPort = true;
};

const std::vector<DeviceProfile>& deviceProfiles();
// nullptr for an unknown name.
const DeviceProfile* findDeviceProfile(const std::string& name);

size_t stageCount(const DeviceProfile& profile);

// The device file with the first `stages` stages published.
DeviceFileContent deviceProfileFile(const DeviceProfile& profile,
                                    const std::string& applicationPort,
                                    const std::string& diagnosticPort, size_t stages);

// The simulator profile that plays the card of a device profile.
CardProfile cardProfileFor(const DeviceProfile& devices, const CardProfile& standard);

} // namespace cardsim
