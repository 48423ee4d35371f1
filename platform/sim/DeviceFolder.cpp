#include "platform/sim/DeviceFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace platform {
namespace {

constexpr const char* kDeviceFileSuffix = ".json";
// The longest device file read; a bigger one is reported and ignored.
constexpr std::uintmax_t kMaxDeviceFileSize = 16 * 1024 * 1024;

} // namespace

bool isDeviceFile(const std::string& name) {
    const std::string suffix = kDeviceFileSuffix;
    return !name.empty() && name[0] != '.' && name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> deviceFilesIn(const std::string& folderPath) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folderPath, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (isDeviceFile(name))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

DeviceFileRead readDeviceFile(const std::string& path, std::string& text, std::string& problem) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        if (error == std::errc::no_such_file_or_directory)
            return DeviceFileRead::Missing;
        problem = error.message();
        return DeviceFileRead::Failed;
    }
    if (size > kMaxDeviceFileSize) {
        problem = "too big";
        return DeviceFileRead::Failed;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        // Removed between the two looks: the writer replaced or unplugged it.
        if (!std::filesystem::exists(path, error))
            return DeviceFileRead::Missing;
        problem = std::strerror(errno);
        return DeviceFileRead::Failed;
    }
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        problem = "read failed";
        return DeviceFileRead::Failed;
    }
    if (text.size() > kMaxDeviceFileSize) {
        problem = "too big";
        return DeviceFileRead::Failed;
    }
    return DeviceFileRead::Read;
}

} // namespace platform
