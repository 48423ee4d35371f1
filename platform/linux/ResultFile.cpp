#include "platform/ResultFile.h"

#include "platform/SystemPaths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace platform {
namespace {

constexpr mode_t kFileMode = 0644;
constexpr mode_t kFolderMode = 0755;
// Names tried for the new file before giving up (each taken by someone else already).
constexpr int kTemporaryNameAttempts = 100;

std::atomic<unsigned> temporaryCounter{0};

// A descriptor closed on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// The user a root process works for; nothing for a plain process, which works for itself.
std::optional<uid_t> trustedUser() {
    if (geteuid() != 0)
        return std::nullopt;
    const std::optional<uint32_t> invoker = invokingUser();
    if (!invoker || *invoker == 0)
        return std::nullopt;
    return static_cast<uid_t>(*invoker);
}

std::vector<std::string> pathParts(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Opens the folder `part` inside `parent`, creating it when missing. A link is followed only
// when root or the trusted user made it; anyone else's link may point anywhere.
std::string openFolder(int parent, const std::string& part, Descriptor& folder) {
    constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    int fd = openat(parent, part.c_str(), kFlags | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        if (mkdirat(parent, part.c_str(), kFolderMode) != 0 && errno != EEXIST)
            return errnoText("cannot create the folder " + part, errno);
        fd = openat(parent, part.c_str(), kFlags | O_NOFOLLOW);
    }
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
        struct stat link {};
        if (fstatat(parent, part.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(link.st_mode))
            return part + " is not a folder";
        const std::optional<uid_t> user = trustedUser();
        if (link.st_uid != 0 && link.st_uid != geteuid() && (!user || link.st_uid != *user))
            return "the link " + part + " belongs to user " + std::to_string(link.st_uid);
        fd = openat(parent, part.c_str(), kFlags);
    }
    if (fd < 0)
        return errnoText("cannot open the folder " + part, errno);
    folder.reset(fd);
    return "";
}

// The folder that takes the file, walked from the root (or the current folder) part by part.
std::string openTargetFolder(const std::string& path, Descriptor& folder, std::string& name) {
    std::vector<std::string> parts = pathParts(path);
    if (parts.empty() || path.back() == '/')
        return "it names no file";
    name = parts.back();
    parts.pop_back();
    if (name == "." || name == "..")
        return "it names no file";
    const int start = open(path.front() == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (start < 0)
        return errnoText("cannot open the starting folder", errno);
    folder.reset(start);
    for (const std::string& part : parts) {
        Descriptor next;
        const std::string reason = openFolder(folder.get(), part, next);
        if (!reason.empty())
            return reason;
        folder.reset(dup(next.get()));
        if (folder.get() < 0)
            return errnoText("cannot keep the folder " + part, errno);
    }
    return "";
}

// What stands at the name may be replaced only when it is a file or a link.
std::string replaceableReason(int folder, const std::string& name) {
    struct stat existing {};
    if (fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? "" : errnoText("cannot examine it", errno);
    if (S_ISREG(existing.st_mode) || S_ISLNK(existing.st_mode))
        return "";
    return "it is not a regular file";
}

std::string temporaryName(const std::string& name) {
    return "." + name + "." + std::to_string(getpid()) + "." +
           std::to_string(temporaryCounter.fetch_add(1)) + ".tmp";
}

bool writeAll(int fd, const std::string& contents) {
    size_t done = 0;
    while (done < contents.size()) {
        const ssize_t written = write(fd, contents.data() + done, contents.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

// Gives the file to the user root works for, when the folder is that user's.
void giveToInvoker(int folder, int file) {
    const std::optional<uid_t> user = trustedUser();
    struct stat info {};
    if (!user || fstat(folder, &info) != 0 || info.st_uid != *user)
        return;
    const passwd* entry = getpwuid(*user);
    const gid_t group = entry != nullptr ? entry->pw_gid : static_cast<gid_t>(-1);
    [[maybe_unused]] const int changed = fchown(file, *user, group);
}

} // namespace

std::string writeResultFile(const std::string& path, const std::string& contents) {
    if (path.empty())
        return "it names no file";
    Descriptor folder;
    std::string name;
    std::string reason = openTargetFolder(path, folder, name);
    if (reason.empty())
        reason = replaceableReason(folder.get(), name);
    if (!reason.empty())
        return reason;

    // O_PATH descriptors cannot take new files by themselves: reopen the folder for real.
    Descriptor writable(openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (writable.get() < 0)
        return errnoText("cannot open its folder", errno);
    std::string temporary;
    Descriptor file;
    for (int attempt = 0; attempt < kTemporaryNameAttempts && file.get() < 0; ++attempt) {
        temporary = temporaryName(name);
        file.reset(openat(writable.get(), temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
        if (file.get() < 0 && errno != EEXIST)
            return errnoText("cannot create a file in its folder", errno);
    }
    if (file.get() < 0)
        return "cannot create a file in its folder: every name is taken";
    const bool written = writeAll(file.get(), contents) && fchmod(file.get(), kFileMode) == 0 &&
                         fsync(file.get()) == 0;
    const int writeError = errno;
    if (written)
        giveToInvoker(writable.get(), file.get());
    file.reset();
    if (!written) {
        unlinkat(writable.get(), temporary.c_str(), 0);
        return errnoText("cannot write it", writeError);
    }
    if (renameat(writable.get(), temporary.c_str(), writable.get(), name.c_str()) != 0) {
        const int error = errno;
        unlinkat(writable.get(), temporary.c_str(), 0);
        return errnoText("cannot put it in place", error);
    }
    return "";
}

} // namespace platform
