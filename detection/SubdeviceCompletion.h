#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Completing a detected card: finding its modem, ports, network adapter, NDIS control device
// and smart card reader step by step as its driver brings them up, then its bus device and
// driver version; the card becomes started once nothing it announces is missing.
namespace detection {

// The steps a subdevice check can run, as a set of flags. The application port step is
// selected separately for multiplexing cards (a port of its own) and the others (the modem's).
enum class SubdeviceStep : uint32_t {
    None = 0,
    Modem = 1u << 0,
    AppPortIfMultiplexing = 1u << 1,
    AppPortIfNotMultiplexing = 1u << 2,
    WwanAdapter = 1u << 3,
    SmartCardReader = 1u << 4,
    App2Port = 1u << 5,
    DbgPort = 1u << 6,
};

constexpr SubdeviceStep operator|(SubdeviceStep a, SubdeviceStep b) {
    return static_cast<SubdeviceStep>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
}
constexpr bool includes(SubdeviceStep steps, SubdeviceStep step) {
    return (static_cast<uint32_t>(steps) & static_cast<uint32_t>(step)) != 0;
}
// `step` when `selected`, no step otherwise.
constexpr SubdeviceStep stepIf(bool selected, SubdeviceStep step) {
    return selected ? step : SubdeviceStep::None;
}

// Both application port steps: the one that fits the card runs.
constexpr SubdeviceStep kAppPortSteps =
    SubdeviceStep::AppPortIfMultiplexing | SubdeviceStep::AppPortIfNotMultiplexing;
// Every step, as the full check of the system runs them.
constexpr SubdeviceStep kEverySubdeviceStep =
    SubdeviceStep::Modem | kAppPortSteps | SubdeviceStep::WwanAdapter |
    SubdeviceStep::SmartCardReader | SubdeviceStep::App2Port | SubdeviceStep::DbgPort;

// Runs the requested steps; 1 when the card became started (with `reason`), 0 otherwise.
// Nothing happens unless the state is starting and a card is known.
int CheckSubdevices(SubdeviceStep steps, uint32_t reason);

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
