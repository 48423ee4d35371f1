#include "platform/SystemPaths.h"

#include "platform/windows/WideText.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

namespace platform {
namespace {

constexpr const char* kRuntimeSubfolder = "\\Kestrel";

// A known folder of the system, or empty when the system has none.
std::string knownFolder(const KNOWNFOLDERID& id) {
    PWSTR path = nullptr;
    std::string folder;
    if (SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path) == S_OK)
        folder = narrowText(path);
    CoTaskMemFree(path);
    return folder;
}

} // namespace

std::string sharedDataFolder() {
    if (simulatedMachineRoot())
        return systemPath("/var/log");
    return knownFolder(FOLDERID_ProgramData);
}

std::string userConfigFolder() {
    if (simulatedMachineRoot())
        return systemPath("/home/user/.config");
    return knownFolder(FOLDERID_RoamingAppData);
}

std::optional<uint32_t> invokingUser() {
    // An elevated process of Windows keeps the user's profile: it runs for nobody else.
    return std::nullopt;
}

std::string untrustedFileReason(const std::string& path, uint32_t) {
    const DWORD attributes = GetFileAttributesW(wideText(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return "it cannot be examined";
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return "it is not a regular file";
    return "";
}

std::string runtimeFolder() {
    const std::string folder = simulatedMachineRoot()
                                   ? systemPath("/run/kestrel")
                                   : knownFolder(FOLDERID_ProgramData) + kRuntimeSubfolder;
    createFolders(folder);
    return folder;
}

bool canAppendTo(const std::string& path) {
    const HANDLE file =
        CreateFileW(wideText(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

} // namespace platform
