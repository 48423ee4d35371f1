#pragma once

#include "platform/Win32Error.h"

#include <cstdint>
#include <string>
#include <vector>

// The process's rights and the elevated relaunch. On Linux an administrator is a process with
// effective user id 0, and the relaunch goes through pkexec. On a simulated machine the
// environment decides: KESTREL_ADMINISTRATOR=0 makes the process a plain user (default: an
// administrator, so a simulated run needs no root). KESTREL_ELEVATION_COMMAND replaces
// "pkexec" by other words (separated by blanks), so tests can stand in for the prompt.
namespace platform {

// Win32 error numbers of this facility.
struct ProcessError {
    static constexpr uint32_t kFileNotFound =
        kErrorFileNotFound; // the elevation command cannot be run
    static constexpr uint32_t kAccessDenied =
        kErrorAccessDenied;                       // the elevation was refused by policy
    static constexpr uint32_t kCancelled = 1223;  // ERROR_CANCELLED: the user dismissed the prompt
    static constexpr uint32_t kWaitFailed = 1460; // the child could not be waited for
};

bool isAdministrator();

// The first thing the program does. The process may have been started by pkexec or sudo with
// the invoker's umask (000 makes every file it creates writable by all): files and folders are
// created with at most mode 0755 from here on. A closed pipe on an output ends a write with an
// error instead of the process.
void setProcessDefaults();

// Whether a display server is named (DISPLAY or WAYLAND_DISPLAY), so that windows can be shown.
bool displayAvailable();

struct ElevatedRun {
    uint32_t error = 0; // 0 when the child ran; its exit code is then in exitCode
    int exitCode = -1;
};

// Runs "pkexec `program` `arguments`" and waits for it without a time limit. `program` must be
// an absolute path. pkexec clears the environment and starts in root's home folder: only the
// display (the polkit policy's allow_gui) reaches the child, so paths among the arguments
// must be absolute.
ElevatedRun runElevated(const std::string& program, const std::vector<std::string>& arguments);

// Under a Wayland session pkexec hands DISPLAY on, but Xwayland refuses the clients of other
// users: the local root user is let in for the elevated run (xhost +SI:localuser:root) and
// shut out again after it. `granted` tells whether revokeDisplayFromAdministrator is due. The
// text says why the windows cannot open when the grant was needed and failed; empty otherwise.
std::string grantDisplayToAdministrator(bool& granted);
void revokeDisplayFromAdministrator();

// The elevation command in force: "pkexec" or the words of KESTREL_ELEVATION_COMMAND.
std::vector<std::string> elevationCommand();

// A readable text for a Win32 error number of the platform layer.
std::string systemErrorText(uint32_t error);

} // namespace platform
