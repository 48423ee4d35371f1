#include "platform/sim/DeviceFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr const char* kDeviceFileSuffix = ".json";
// The longest device file read; a bigger one is reported and ignored.
constexpr off_t kMaxDeviceFileSize = 16 * 1024 * 1024;

} // namespace

bool isDeviceFile(const std::string& name) {
    const std::string suffix = kDeviceFileSuffix;
    return !name.empty() && name[0] != '.' && name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> deviceFilesIn(const std::string& folderPath) {
    std::vector<std::string> names;
    if (DIR* folder = opendir(folderPath.c_str())) {
        while (const dirent* entry = readdir(folder)) {
            if (isDeviceFile(entry->d_name))
                names.push_back(entry->d_name);
        }
        closedir(folder);
    }
    std::sort(names.begin(), names.end());
    return names;
}

DeviceFileRead readDeviceFile(const std::string& path, std::string& text, std::string& problem) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return DeviceFileRead::Missing;
        problem = std::strerror(errno);
        return DeviceFileRead::Failed;
    }
    struct stat information {};
    DeviceFileRead result = DeviceFileRead::Read;
    if (fstat(fd, &information) != 0) {
        problem = std::strerror(errno);
        result = DeviceFileRead::Failed;
    } else if (information.st_size > kMaxDeviceFileSize) {
        problem = "too big";
        result = DeviceFileRead::Failed;
    } else {
        text.clear();
        char chunk[4096];
        for (;;) {
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                problem = std::strerror(errno);
                result = DeviceFileRead::Failed;
                break;
            }
            if (got == 0)
                break;
            text.append(chunk, static_cast<size_t>(got));
            if (text.size() > static_cast<size_t>(kMaxDeviceFileSize)) {
                problem = "too big";
                result = DeviceFileRead::Failed;
                break;
            }
        }
    }
    close(fd);
    return result;
}

} // namespace platform
