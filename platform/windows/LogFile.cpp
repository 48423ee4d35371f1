#include "platform/LogFile.h"

#include "platform/WideText.h"

#include <windows.h>

namespace platform {

struct LogFile::Handle {
    HANDLE file = INVALID_HANDLE_VALUE;
};

LogFile::LogFile(std::string path, uint64_t rotateBytes)
    : path_(std::move(path)), rotateBytes_(rotateBytes), handle_(std::make_unique<Handle>()) {}

LogFile::~LogFile() {
    close();
}

std::string LogFile::previousName(const std::string& path) {
    return path + ".1";
}

void LogFile::close() {
    if (handle_->file != INVALID_HANDLE_VALUE)
        CloseHandle(handle_->file);
    handle_->file = INVALID_HANDLE_VALUE;
}

bool LogFile::open() {
    // A reparse point (a link) is opened as itself and then refused.
    const HANDLE file = CreateFileW(wideFromUtf8(path_).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        problem_ = path_ + ": system error " + std::to_string(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1) {
        CloseHandle(file);
        problem_ = path_ + ": not a regular file with a single name";
        return false;
    }
    handle_->file = file;
    size_ = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    problem_.clear();
    return true;
}

void LogFile::rotate() {
    close();
    if (!MoveFileExW(wideFromUtf8(path_).c_str(), wideFromUtf8(previousName(path_)).c_str(),
                     MOVEFILE_REPLACE_EXISTING))
        problem_ = path_ + ": cannot rotate: system error " + std::to_string(GetLastError());
}

bool LogFile::append(const std::string& text) {
    if (handle_->file == INVALID_HANDLE_VALUE && !open())
        return false;
    if (size_ > 0 && size_ + text.size() > rotateBytes_) {
        rotate();
        if (!open())
            return false;
    }
    DWORD written = 0;
    if (!WriteFile(handle_->file, text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr) ||
        written != text.size()) {
        problem_ = path_ + ": system error " + std::to_string(GetLastError());
        return false;
    }
    size_ += text.size();
    return true;
}

} // namespace platform
