#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The mobile broadband interfaces the system knows, by interface id, and their arrival and
// removal. On a simulated machine they are the "mbInterfaces" of the device files (each a text,
// the interface id, usually a GUID in braces), in file-name order without repeats; on Linux
// the list is empty for now and no events come.
namespace platform {

constexpr uint32_t kErrorElementNotFound = 1168; // ERROR_NOT_FOUND: no interface is listed

// The ids listed now: 0, or 1168 with an empty list.
uint32_t listMobileBroadbandInterfaces(std::vector<std::string>& interfaceIds);

enum class MobileBroadbandEvent { Arrival, Removal };
using MobileBroadbandListener =
    std::function<void(MobileBroadbandEvent event, const std::string& interfaceId)>;

// A subscription to arrivals and removals; the listener runs on a thread of the watch, one
// event at a time, and is no longer called once the watch is destroyed.
class MobileBroadbandWatch {
public:
    virtual ~MobileBroadbandWatch() = default;
};

// Starts watching. Never empty: where no events can come the watch does nothing.
std::unique_ptr<MobileBroadbandWatch>
watchMobileBroadbandInterfaces(MobileBroadbandListener listener);

} // namespace platform
