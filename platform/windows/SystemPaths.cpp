#include "platform/SystemPaths.h"

#include "platform/WideText.h"

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
        folder = utf8FromWide(path);
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

UserFile readUserFile(const std::string& path, bool, std::optional<uint32_t>, size_t maxBytes) {
    // An elevated process of Windows reads its own user's profile: only the file itself is
    // examined.
    UserFile file;
    const HANDLE handle =
        CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        file.problem = "it cannot be opened";
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        file.problem = "it is not a regular file";
    else if (info.nFileSizeHigh != 0 || info.nFileSizeLow > maxBytes)
        file.problem = "it is larger than " + std::to_string(maxBytes) + " bytes";
    if (file.problem.empty()) {
        std::string contents(info.nFileSizeLow, '\0');
        DWORD got = 0;
        if (!contents.empty() &&
            !ReadFile(handle, contents.data(), static_cast<DWORD>(contents.size()), &got, nullptr))
            file.problem = "it cannot be read";
        else
            file.contents = contents.substr(0, got);
    }
    CloseHandle(handle);
    return file;
}

std::string ownFileProblem(const std::string&) {
    // The program's folder under "Program Files" inherits the administrators-only access.
    return "";
}

uint32_t processUser() {
    return 0;
}

std::string runtimeFolder() {
    const std::string folder = simulatedMachineRoot()
                                   ? systemPath("/run/kestrel")
                                   : knownFolder(FOLDERID_ProgramData) + kRuntimeSubfolder;
    createFolders(folder);
    return folder;
}

std::string runtimeFolderProblem(const std::string&) {
    // The folder under ProgramData inherits the administrators-only access of its parent.
    return "";
}

bool canAppendTo(const std::string& path) {
    const HANDLE file = CreateFileW(wideFromUtf8(path).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

} // namespace platform
