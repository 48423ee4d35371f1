// Linked into a copy of kestrel-headless: the process's device tree is the real SetupAPI backend,
// and the SetupAPI table under it serves the simulated machine's device files (those the card
// simulator publishes) as Windows would show that hardware. Everything else is the
// program's own.
#include "tests/windows/FakeSetupApi.h"

#include "platform/SystemPaths.h"
#include "platform/sim/SimulatedDeviceTree.h"
#include "platform/windows/SetupApiDeviceTree.h"

#include <cstdio>
#include <memory>

namespace {

struct SetupApiMachine {
    SetupApiMachine() {
        const auto root = platform::simulatedMachineRoot();
        if (!root) {
            std::fprintf(stderr, "setupapi-machine: KESTREL_SIM_ROOT names no machine\n");
            return;
        }
        fake =
            std::make_unique<FakeSetupApi>(std::make_shared<platform::SimulatedDeviceTree>(*root));
        platform::installDeviceTree(std::make_shared<platform::SetupApiDeviceTree>());
        std::fprintf(stderr, "setupapi-machine: SetupAPI device tree over %s\n", root->c_str());
    }
    std::unique_ptr<FakeSetupApi> fake;
};

// Made before main and never destroyed: the tree may be used until the process ends.
SetupApiMachine* const machine = new SetupApiMachine;

} // namespace
