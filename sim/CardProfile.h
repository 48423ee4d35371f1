#pragma once

#include "sim/CardState.h"
#include "sim/DeviceFile.h"

#include <string>
#include <vector>

// What kind of card a simulator plays: its factory firmware state and how its drivers show it
// in the device tree.
namespace cardsim {

struct CardProfile {
    std::string name;
    CardState factoryState;
    std::string vendorId = "1234";
    std::string productId = "5678";
    std::string serial = "0001";
    std::string driverVersion = "2.1.0.7";
    bool applicationPort = true;
    bool diagnosticPort = true;
    std::string applicationInterfaceName = "Application Interface";
    std::string diagnosticInterfaceName = "Diagnostics Interface";
    // When set, the device profile (sim/DeviceProfile.h) whose nodes the card publishes instead.
    std::string deviceProfile;
};

// The profiles the simulator knows; the first is the default.
const std::vector<CardProfile>& cardProfiles();
// nullptr for an unknown name.
const CardProfile* findCardProfile(const std::string& name);

// The card node and its port nodes, with "PortName" naming each port's pseudo-terminal. An empty
// port name leaves that port out.
DeviceFileContent cardDeviceFile(const CardProfile& profile, const std::string& applicationPort,
                                 const std::string& diagnosticPort);

} // namespace cardsim
