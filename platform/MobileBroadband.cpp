#include "platform/MobileBroadband.h"

#include "platform/SystemPaths.h"
#include "platform/sim/MobileBroadbandSimulated.h"

namespace platform {
namespace {

// Linux has no source of mobile broadband interfaces yet.
class NoWatch : public MobileBroadbandWatch {};

} // namespace

uint32_t listMobileBroadbandInterfaces(std::vector<std::string>& interfaceIds) {
    interfaceIds.clear();
    if (const auto root = simulatedMachineRoot())
        interfaceIds = simulatedMobileBroadbandInterfaces(*root);
    return interfaceIds.empty() ? kErrorElementNotFound : 0;
}

std::unique_ptr<MobileBroadbandWatch>
watchMobileBroadbandInterfaces(MobileBroadbandListener listener) {
    if (const auto root = simulatedMachineRoot())
        return watchSimulatedMobileBroadband(*root, std::move(listener));
    return std::make_unique<NoWatch>();
}

} // namespace platform
