#pragma once

#include <string>

// Result files that an installer reads after a run (the exit-code file, the JSON result). The
// program may run as root for another user, in a folder others can write: a result file is
// always written as a new file in the target's folder and renamed over the name, so no link is
// followed and nobody else's file is reused. The file has mode 0644; run as root for a user
// (pkexec's PKEXEC_UID, sudo's SUDO_UID) in a folder of that user's, it is given to the user.
// Missing folders are created. A link on the way to the folder is followed only when it belongs
// to root or to the invoking user.
namespace platform {

// Writes `contents` into `path` as above; empty when written, otherwise why not.
std::string writeResultFile(const std::string& path, const std::string& contents);

} // namespace platform
