#include "platform/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {

constexpr mode_t kLogMode = 0644;

struct LogFile::Handle {
    int fd = -1;
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
    if (handle_->fd >= 0)
        ::close(handle_->fd);
    handle_->fd = -1;
}

bool LogFile::open() {
    const int fd = ::open(
        path_.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, kLogMode);
    if (fd < 0) {
        problem_ = path_ + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        info.st_nlink != 1) {
        ::close(fd);
        problem_ = path_ + ": not a regular file of this user with a single name";
        return false;
    }
    handle_->fd = fd;
    size_ = static_cast<uint64_t>(info.st_size);
    problem_.clear();
    return true;
}

void LogFile::rotate() {
    close();
    // A rename replaces whatever has the previous name, a link included, without following it.
    if (std::rename(path_.c_str(), previousName(path_).c_str()) != 0)
        problem_ = path_ + ": cannot rotate: " + std::strerror(errno);
}

bool LogFile::append(const std::string& text) {
    if (handle_->fd < 0 && !open())
        return false;
    if (size_ > 0 && size_ + text.size() > rotateBytes_) {
        rotate();
        if (!open())
            return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(handle_->fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            problem_ = path_ + ": " + std::strerror(errno);
            return false;
        }
        done += static_cast<size_t>(written);
    }
    size_ += text.size();
    return true;
}

} // namespace platform
