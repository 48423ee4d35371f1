#include "platform/sim/SimulatedDeviceTree.h"

#include "platform/DeviceTreeFile.h"
#include "platform/SystemPaths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

constexpr const char* kDevicesFolder = "/devices";
constexpr const char* kDeviceFileSuffix = ".json";
constexpr size_t kEventBufferSize = 64 * 1024;
// The longest device file read; a bigger one is reported and ignored.
constexpr off_t kMaxDeviceFileSize = 16 * 1024 * 1024;

// Device files end in ".json"; hidden files and temporary files of writers are not device files.
bool isDeviceFile(const std::string& name) {
    const std::string suffix = kDeviceFileSuffix;
    return !name.empty() && name[0] != '.' && name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

enum class ReadResult { Read, Missing, Failed };

ReadResult readFile(const std::string& path, std::string& text, std::string& problem) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        problem = std::strerror(errno);
        return ReadResult::Failed;
    }
    struct stat information {};
    ReadResult result = ReadResult::Read;
    if (fstat(fd, &information) != 0) {
        problem = std::strerror(errno);
        result = ReadResult::Failed;
    } else if (information.st_size > kMaxDeviceFileSize) {
        problem = "too big";
        result = ReadResult::Failed;
    } else {
        text.clear();
        char chunk[4096];
        for (;;) {
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                problem = std::strerror(errno);
                result = ReadResult::Failed;
                break;
            }
            if (got == 0)
                break;
            text.append(chunk, static_cast<size_t>(got));
            if (text.size() > static_cast<size_t>(kMaxDeviceFileSize)) {
                problem = "too big";
                result = ReadResult::Failed;
                break;
            }
        }
    }
    close(fd);
    return result;
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

} // namespace

SimulatedDeviceTree::SimulatedDeviceTree(const std::string& machineRoot, Diagnostics diagnostics)
    : folder_(machineRoot + kDevicesFolder), diagnostics_(std::move(diagnostics)) {
    createFolders(folder_);
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ >= 0 &&
        inotify_add_watch(inotify_, folder_.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) < 0) {
        report("cannot watch " + folder_ + ": " + std::strerror(errno));
        close(inotify_);
        inotify_ = -1;
    }
    // Files present now are read after the watch is in place, so no change is missed.
    for (const auto& name : deviceFilesIn(folder_))
        loadFile(name, false);

    if (inotify_ < 0)
        return;
    stopEvent_ = eventfd(0, EFD_CLOEXEC);
    if (stopEvent_ < 0) {
        report(std::string("cannot create the watcher's stop event: ") + std::strerror(errno));
        close(inotify_);
        inotify_ = -1;
        return;
    }
    watcher_ = std::thread([this] { watch(); });
}

SimulatedDeviceTree::~SimulatedDeviceTree() {
    if (watcher_.joinable()) {
        const uint64_t one = 1;
        if (write(stopEvent_, &one, sizeof one) != sizeof one)
            report("cannot stop the device file watcher");
        watcher_.join();
    }
    if (stopEvent_ >= 0)
        close(stopEvent_);
    if (inotify_ >= 0)
        close(inotify_);
}

void SimulatedDeviceTree::report(const std::string& text) {
    if (diagnostics_)
        diagnostics_(text);
    else
        std::fprintf(stderr, "kestrel: %s\n", text.c_str());
}

void SimulatedDeviceTree::loadFile(const std::string& fileName, bool notify) {
    const std::string path = folder_ + "/" + fileName;
    std::string text;
    std::string problem;
    DeviceGroup group;
    switch (readFile(path, text, problem)) {
    case ReadResult::Missing:
        removeGroup(fileName);
        return;
    case ReadResult::Failed:
        report("device file " + path + " cannot be read (" + problem + "), ignoring it");
        removeGroup(fileName);
        return;
    case ReadResult::Read:
        break;
    }
    if (!parseDeviceFile(text, group, problem)) {
        report("device file " + path + " ignored: " + problem);
        removeGroup(fileName);
        return;
    }
    if (notify)
        setGroup(fileName, group);
    else
        setGroupSilently(fileName, group);
}

void SimulatedDeviceTree::watch() {
    std::vector<char> buffer(kEventBufferSize);
    pollfd waits[2] = {{inotify_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            report(std::string("device file watcher stopped: ") + std::strerror(errno));
            return;
        }
        if (waits[1].revents)
            return;
        const ssize_t length = read(inotify_, buffer.data(), buffer.size());
        if (length <= 0)
            continue;
        // One batch of events may name a file several times; read each changed file once, in
        // the order of its first event.
        std::vector<std::string> changed;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: every file may have changed.
                for (const auto& name : groupNames())
                    if (std::find(changed.begin(), changed.end(), name) == changed.end())
                        changed.push_back(name);
                for (const auto& name : deviceFilesIn(folder_))
                    if (std::find(changed.begin(), changed.end(), name) == changed.end())
                        changed.push_back(name);
                continue;
            }
            if (event->len == 0)
                continue;
            const std::string name = event->name;
            if (isDeviceFile(name) &&
                std::find(changed.begin(), changed.end(), name) == changed.end())
                changed.push_back(name);
        }
        for (const auto& name : changed)
            loadFile(name, true);
    }
}

} // namespace platform
