#include "platform/ResultFile.h"

#include "platform/SystemPaths.h"
#include "platform/WideText.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace platform {
namespace {

std::atomic<unsigned> temporaryCounter{0};

std::string failure(const std::string& what) {
    return what + " (system error " + std::to_string(GetLastError()) + ")";
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

std::string writeResultFile(const std::string& path, const std::string& contents) {
    if (path.empty() || path.back() == '\\' || path.back() == '/')
        return "it names no file";
    const std::string folder = folderOf(path);
    if (!folder.empty() && !createFolders(folder))
        return "cannot create its folder";
    const DWORD existing = GetFileAttributesW(wideFromUtf8(path).c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return "it is not a regular file";
    const std::string temporary = path + "." + std::to_string(GetCurrentProcessId()) + "." +
                                  std::to_string(temporaryCounter.fetch_add(1)) + ".tmp";
    const std::wstring wideTemporary = wideFromUtf8(temporary);
    const HANDLE file = CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failure("cannot create a file in its folder");
    DWORD written = 0;
    const bool ok = WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written,
                              nullptr) != 0 &&
                    written == contents.size() && FlushFileBuffers(file) != 0;
    CloseHandle(file);
    if (!ok) {
        DeleteFileW(wideTemporary.c_str());
        return failure("cannot write it");
    }
    // A link at the name is replaced, not followed.
    if (!MoveFileExW(wideTemporary.c_str(), wideFromUtf8(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::string reason = failure("cannot put it in place");
        DeleteFileW(wideTemporary.c_str());
        return reason;
    }
    return "";
}

} // namespace platform
