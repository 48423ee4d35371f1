#pragma once

#include <string>

namespace platform {

// The udev device at `syspath` and every device below it in umockdev's text format, parents
// first: for each device its path below /sys ("P:"), its device node ("N:"), its udev
// properties ("E:"), its readable sysfs attributes ("A:", or "H:" in hex when not text) and its
// driver link ("L:"). A test machine loads it with umockdev_testbed_add_from_string. Empty when
// there is no such device.
std::string udevDevicesText(const std::string& syspath);

} // namespace platform
