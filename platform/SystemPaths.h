#pragma once

#include <optional>
#include <string>

// Where Kestrel finds the system's folders. With KESTREL_SIM_ROOT=DIR every system path lies
// under DIR/sysroot, so a simulated machine never touches the real one.
namespace platform {

// The simulated machine's folder, or nothing on a real machine.
std::optional<std::string> simulatedMachineRoot();

// A system path such as "/var/log" as seen by this process: under DIR/sysroot on a simulated
// machine, unchanged otherwise.
std::string systemPath(const std::string& absolutePath);

// The all-users data folder that takes the log file: /var/log.
std::string sharedDataFolder();

// The user's configuration folder: $XDG_CONFIG_HOME when it is absolute, else ~/.config.
std::string userConfigFolder();

// True when `path` names an existing regular file.
bool isRegularFile(const std::string& path);

// Creates a folder and its parents; true when it exists afterwards.
bool createFolders(const std::string& path);

// Whether the file can be opened for appending (it is created when missing, as a log would be).
bool canAppendTo(const std::string& path);

} // namespace platform
