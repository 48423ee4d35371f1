#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Completing a detected card: finding its modem, ports, network adapter, NDIS control device
// and smart card reader step by step as its driver brings them up, then its bus device and
// driver version; the card becomes started once nothing it announces is missing.
namespace detection {

// Runs the requested steps; 1 when the card became started (with `reason`), 0 otherwise.
// Nothing happens unless the state is starting and a card is known.
int CheckSubdevices(bool modem, bool appPortIfMultiplexing, bool appPortIfNotMultiplexing,
                    bool wwanAdapter, bool smartCardReader, bool app2Port, bool dbgPort,
                    uint32_t reason);

// Looks for the card's smart card reader (below the card, without the activity test); with
// `require`, only when the card has the smart card reader flag. True when it was found.
bool DetectSmartCardReader(bool require);

// Decides from the child devices which sub-devices a composite card has.
void DetectAllSubdevices();

// The models whose sub-devices are discovered from their children.
bool isDiscoveryModel(uint32_t model);

// Whether an adapter id is in the list of mobile broadband interfaces. Until the mobile
// broadband detection registers its lookup, no interface is listed.
using MobileBroadbandLookup = std::function<bool(const std::u16string& adapterId)>;
void setMobileBroadbandLookup(MobileBroadbandLookup lookup);

// A device-name pattern with its first "%d" replaced by `index` ("%%" stands for "%"); other
// text is taken as it is, so a pattern from the database never acts as a format string.
std::string formatDeviceName(const std::string& pattern, int index);

} // namespace detection
