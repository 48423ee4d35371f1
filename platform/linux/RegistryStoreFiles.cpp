#include "platform/RegistryStore.h"

#include "platform/SystemPaths.h"
#include "platform/linux/Win32FromErrno.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {
namespace {

constexpr ErrnoMapping kStoreErrors[] = {
    {ENOTDIR, kErrorPathNotFound},
    {EROFS, RegistryError::kAccessDenied},
    {ENOSPC, kErrorDiskFull},
    {EDQUOT, kErrorDiskFull},
};

uint32_t win32Error(int error, uint32_t otherwise) {
    return win32FromErrno(error, kStoreErrors, otherwise);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Closes a descriptor on every way out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

bool writeAll(int fd, const std::string& content) {
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t count = ::write(fd, content.data() + written, content.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        written += static_cast<size_t>(count);
    }
    return true;
}

} // namespace

uint32_t replaceFileAtomically(const std::string& path, const std::string& content) {
    const std::string folder = folderOf(path);
    if (!createFolders(folder))
        return win32Error(errno, kErrorPathNotFound);
    std::string temporary = path + ".XXXXXX";
    Descriptor file{::mkstemp(temporary.data())};
    if (file.fd < 0)
        return win32Error(errno, kErrorWriteFault);
    if (!writeAll(file.fd, content) || ::fsync(file.fd) != 0) {
        const uint32_t error = win32Error(errno, kErrorWriteFault);
        ::unlink(temporary.c_str());
        return error;
    }
    ::fchmod(file.fd, 0644);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const uint32_t error = win32Error(errno, kErrorWriteFault);
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself is durable only once the folder is flushed.
    Descriptor directory{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (directory.fd >= 0)
        ::fsync(directory.fd);
    return RegistryError::kOk;
}

uint32_t readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return win32Error(errno, kErrorReadFault);
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(file.fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return win32Error(errno, kErrorReadFault);
        if (count == 0)
            return RegistryError::kOk;
        content.append(buffer, static_cast<size_t>(count));
    }
}

uint32_t appendToFile(const std::string& path, const std::string& text) {
    Descriptor file{::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)};
    if (file.fd < 0)
        return win32Error(errno, kErrorWriteFault);
    if (::write(file.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return win32Error(errno, kErrorWriteFault);
    return RegistryError::kOk;
}

FileLock::FileLock(const std::string& path) {
    if (!createFolders(folderOf(path))) {
        status = win32Error(errno, kErrorPathNotFound);
        return;
    }
    const std::string lockPath = path + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    descriptor = fd;
    if (descriptor < 0) {
        status = win32Error(errno, RegistryError::kAccessDenied);
        return;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            status = win32Error(errno, RegistryError::kAccessDenied);
            return;
        }
    }
}

FileLock::~FileLock() {
    if (descriptor >= 0)
        ::close(static_cast<int>(descriptor));
}

} // namespace platform
