#pragma once

#include "platform/DeviceTreeInMemory.h"

#include <string>

namespace platform {

// Reads one device file of the simulated machine (JSON: "nodes", "deviceNames",
// "mbInterfaces"). Members that are missing take their neutral value; a text that is not valid
// JSON, a member of the wrong type, a node without "id" or a broken parent chain fails with
// `problem` saying what is wrong.
bool parseDeviceFile(const std::string& text, DeviceGroup& group, std::string& problem);

// The device file of `group`, as parseDeviceFile reads it back (members at their neutral value
// are left out). One JSON object, indented.
std::string printDeviceFile(const DeviceGroup& group);

} // namespace platform
