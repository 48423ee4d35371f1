#pragma once

#include <cstdint>
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

// The user on whose behalf an elevated relaunch runs (pkexec's PKEXEC_UID); nothing when this
// process was not started that way.
std::optional<uint32_t> invokingUser();

// Why root should not read `path` as a configuration of user `uid`: empty when it is a regular
// file (not a link) that belongs to `uid` and that no one else can write.
std::string untrustedFileReason(const std::string& path, uint32_t uid);

// The folder for the files a running administrator keeps (the single-instance lock):
// /run/kestrel, created on demand, owned by the process's user.
std::string runtimeFolder();

// True when `path` names an existing regular file.
bool isRegularFile(const std::string& path);

// Creates a folder and its parents; true when it exists afterwards.
bool createFolders(const std::string& path);

// Whether the file can be opened for appending (it is created when missing, as a log would be).
bool canAppendTo(const std::string& path);

} // namespace platform
