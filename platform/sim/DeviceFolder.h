#pragma once

#include <string>
#include <vector>

// The simulated machine's device files: DIR/devices/*.json, one group of device nodes each.
namespace platform {

constexpr const char* kDevicesFolder = "/devices";

// Device files end in ".json"; hidden files and temporary files of writers are not device files.
bool isDeviceFile(const std::string& name);

// The names of the device files in `folderPath`, sorted.
std::vector<std::string> deviceFilesIn(const std::string& folderPath);

enum class DeviceFileRead { Read, Missing, Failed };

// Reads one device file whole; a file bigger than 16 MiB fails as "too big". `problem` says
// why a read failed.
DeviceFileRead readDeviceFile(const std::string& path, std::string& text, std::string& problem);

} // namespace platform
