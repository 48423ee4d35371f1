#include "platform/RegistryStore.h"

#include "platform/SystemPaths.h"
#include "platform/WideText.h"

#include <windows.h>

namespace platform {
namespace {

constexpr uint32_t kWriteFault = 29; // ERROR_WRITE_FAULT
constexpr uint32_t kPathNotFound = 3;
constexpr const char* kTemporarySuffix = ".new";
constexpr DWORD kReadChunk = 8192;

uint32_t lastErrorOr(uint32_t otherwise) {
    const DWORD error = GetLastError();
    return error != 0 ? error : otherwise;
}

std::string folderOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

// Closes a handle on every way out.
struct Handle {
    HANDLE handle;
    ~Handle() {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

bool writeAll(HANDLE file, const std::string& content) {
    DWORD written = 0;
    return WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size();
}

} // namespace

uint32_t replaceFileAtomically(const std::string& path, const std::string& content) {
    if (!createFolders(folderOf(path)))
        return kPathNotFound;
    // The temporary name is unique per process, so writers of two processes never share one.
    const std::wstring temporary =
        wideFromUtf8(path + kTemporarySuffix + std::to_string(GetCurrentProcessId()));
    {
        Handle file{CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
        if (file.handle == INVALID_HANDLE_VALUE)
            return lastErrorOr(kWriteFault);
        if (!writeAll(file.handle, content) || !FlushFileBuffers(file.handle)) {
            const uint32_t error = lastErrorOr(kWriteFault);
            CloseHandle(file.handle);
            file.handle = INVALID_HANDLE_VALUE;
            DeleteFileW(temporary.c_str());
            return error;
        }
    }
    if (!MoveFileExW(temporary.c_str(), wideFromUtf8(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const uint32_t error = lastErrorOr(kWriteFault);
        DeleteFileW(temporary.c_str());
        return error;
    }
    return RegistryError::kOk;
}

uint32_t appendToFile(const std::string& path, const std::string& text) {
    Handle file{CreateFileW(wideFromUtf8(path).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE)
        return lastErrorOr(kWriteFault);
    if (!writeAll(file.handle, text))
        return lastErrorOr(kWriteFault);
    return RegistryError::kOk;
}

uint32_t readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    Handle file{CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_PATH_NOT_FOUND ? RegistryError::kNotFound : error;
    }
    char buffer[kReadChunk];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(file.handle, buffer, sizeof buffer, &count, nullptr))
            return lastErrorOr(kWriteFault);
        if (count == 0)
            return RegistryError::kOk;
        content.append(buffer, count);
    }
}

FileLock::FileLock(const std::string& path) {
    if (!createFolders(folderOf(path))) {
        status = kPathNotFound;
        return;
    }
    const HANDLE file = CreateFileW(
        wideFromUtf8(path + ".lock").c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        status = lastErrorOr(RegistryError::kAccessDenied);
        return;
    }
    descriptor = reinterpret_cast<std::intptr_t>(file);
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
        status = lastErrorOr(RegistryError::kAccessDenied);
}

FileLock::~FileLock() {
    // Closing the handle releases the lock.
    if (descriptor != -1)
        CloseHandle(reinterpret_cast<HANDLE>(descriptor));
}

} // namespace platform
