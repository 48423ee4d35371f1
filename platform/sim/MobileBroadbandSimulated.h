#pragma once

#include "platform/MobileBroadband.h"

#include <memory>
#include <string>
#include <vector>

namespace platform {

// The "mbInterfaces" of one device file's text; false (and nothing) when the text is not a
// JSON object or the member is not a list. Entries that are not texts, or empty, are skipped.
bool parseMobileBroadbandInterfaces(const std::string& text, std::vector<std::string>& ids);

// The union over DIR/devices/*.json, in file-name order without repeats (compared without
// regard to case). Files that cannot be read or parsed contribute nothing.
std::vector<std::string> simulatedMobileBroadbandInterfaces(const std::string& root);

// Watches DIR/devices with inotify and reports the differences of the union.
std::unique_ptr<MobileBroadbandWatch>
watchSimulatedMobileBroadband(const std::string& root, MobileBroadbandListener listener);

} // namespace platform
