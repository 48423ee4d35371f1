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

// The user on whose behalf an elevated run works (pkexec's PKEXEC_UID, else sudo's SUDO_UID);
// nothing when this process was not started that way.
std::optional<uint32_t> invokingUser();

// A configuration file of a user, read once through one opened descriptor.
struct UserFile {
    std::string contents;
    uint32_t owner = 0;
    // Why it was not read; empty when it was.
    std::string problem;
};

// Reads `path` without following a link at its name: it must be a regular file of at most
// `maxBytes`. With `checked` (an administrator reading it), when it is read on behalf of
// `expectedOwner` or is not the process's user's own, it must also belong to `expectedOwner`
// (its own owner when nothing is expected), nobody else may write it, and every folder above
// it must belong to that owner or to root and be writable by nobody else, so no one else could
// have swapped it. The checks are made on the open file.
UserFile readUserFile(const std::string& path, bool checked, std::optional<uint32_t> expectedOwner,
                      size_t maxBytes);

// Why an administrator must not take `path` as its own data (a package beside the program):
// empty when it is a regular file (not a link) of the process's user in a folder of that user,
// and neither can be written by group or others, so nobody else could have put it there.
std::string ownFileProblem(const std::string& path);

// The user the process acts as (its effective user id; 0 on Windows).
uint32_t processUser();

// The folder for the files a running administrator keeps (the single-instance lock, root's
// named objects): /run/kestrel, created on demand with mode 0700 (the system's tmpfiles.d entry
// creates it at boot).
std::string runtimeFolder();

// Why `folder` may not hold those files: empty when it is a folder (not a link) of the
// process's user with mode 0700 or 0755. Whoever else can change it could remove the lock of a
// running update or plant objects.
std::string runtimeFolderProblem(const std::string& folder);

// True when `path` names an existing regular file.
bool isRegularFile(const std::string& path);

// Creates a folder and its parents; true when it exists afterwards.
bool createFolders(const std::string& path);

// Whether the file can be opened for appending (it is created when missing, as a log would be).
bool canAppendTo(const std::string& path);

} // namespace platform
