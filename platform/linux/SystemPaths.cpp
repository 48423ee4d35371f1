#include "platform/SystemPaths.h"

#include "platform/Environment.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <system_error>

namespace platform {

std::string sharedDataFolder() {
    return systemPath("/var/log");
}

namespace {

// The modes a runtime folder may have: nobody but its owner may change what is in it.
constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kSharedFolderMode = 0755;

// The home folder of `uid` from the user database (under the simulated machine's sysroot on
// a simulated machine); empty when it has none.
std::string homeOf(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    if (entry == nullptr || entry->pw_dir == nullptr || *entry->pw_dir == '\0')
        return "";
    return systemPath(entry->pw_dir);
}

// A user id that an elevation command left in the environment; nothing when it is unset or
// malformed.
std::optional<uid_t> userFromEnvironment(const char* name) {
    const auto text = environmentValue(name);
    if (!text)
        return std::nullopt;
    uid_t uid = 0;
    const char* const last = text->data() + text->size();
    const auto [end, error] = std::from_chars(text->data(), last, uid);
    if (error != std::errc() || end != last)
        return std::nullopt;
    return uid;
}

// The user who started an elevated relaunch through pkexec, which runs it as root with root's
// environment; nothing when this process was not started that way.
std::optional<uid_t> pkexecInvoker() {
    return userFromEnvironment("PKEXEC_UID");
}

} // namespace

std::optional<uint32_t> invokingUser() {
    if (const auto invoker = pkexecInvoker())
        return invoker;
    return userFromEnvironment("SUDO_UID");
}

namespace {

// Why a folder above a user's file could let someone else than `owner` replace it.
std::string folderProblem(const std::string& path, uid_t owner) {
    std::string folder = path;
    for (;;) {
        const size_t slash = folder.find_last_of('/');
        if (slash == std::string::npos)
            return "";
        folder = slash == 0 ? "/" : folder.substr(0, slash);
        struct stat info {};
        if (lstat(folder.c_str(), &info) != 0)
            return "its folder " + folder + " cannot be examined";
        if (info.st_uid != owner && info.st_uid != 0)
            return "its folder " + folder + " belongs to user " + std::to_string(info.st_uid);
        if (S_ISLNK(info.st_mode))
            continue; // a link's mode means nothing; its own folder is examined next
        // In a sticky folder (/tmp) only an entry's owner may rename it, and the entry below
        // has been found to be the owner's or root's.
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0)
            return "others can write its folder " + folder;
        if (folder == "/")
            return "";
    }
}

} // namespace

UserFile readUserFile(const std::string& path, bool checked, std::optional<uint32_t> expectedOwner,
                      size_t maxBytes) {
    UserFile file;
    // Non-blocking: a fifo planted at the name must not stall the start.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        file.problem = errno == ELOOP ? "it is a link" : "it cannot be opened";
        return file;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        file.problem = "it is not a regular file";
    else if (static_cast<uint64_t>(info.st_size) > maxBytes)
        file.problem = "it is larger than " + std::to_string(maxBytes) + " bytes";
    file.owner = info.st_uid;
    const uid_t owner = expectedOwner ? static_cast<uid_t>(*expectedOwner) : info.st_uid;
    // An administrator's own file, read for nobody else, is its own business.
    const bool forSomeoneElse = expectedOwner || info.st_uid != geteuid();
    if (file.problem.empty() && checked && forSomeoneElse) {
        if (info.st_uid != owner)
            file.problem = "it does not belong to user " + std::to_string(owner);
        else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            file.problem = "others can write it";
        else
            file.problem = folderProblem(path, owner);
    }
    if (file.problem.empty()) {
        std::string contents(maxBytes + 1, '\0');
        size_t got = 0;
        for (;;) {
            const ssize_t count = read(fd, contents.data() + got, contents.size() - got);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            got += static_cast<size_t>(count);
            if (got == contents.size())
                break;
        }
        if (got > maxBytes)
            file.problem = "it is larger than " + std::to_string(maxBytes) + " bytes";
        else
            file.contents = contents.substr(0, got);
    }
    close(fd);
    return file;
}

std::string ownFileProblem(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return "it is not a regular file";
    if (info.st_uid != geteuid())
        return "it belongs to user " + std::to_string(info.st_uid);
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "others can write it";
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "its folder cannot be examined";
    if (info.st_uid != geteuid())
        return "its folder belongs to user " + std::to_string(info.st_uid);
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "others can write its folder";
    return "";
}

uint32_t processUser() {
    return geteuid();
}

std::string runtimeFolder() {
    const std::string folder = systemPath("/run/kestrel");
    if (mkdir(folder.c_str(), kPrivateFolderMode) != 0 && errno == ENOENT)
        createFolders(folder);
    return folder;
}

std::string runtimeFolderProblem(const std::string& folder) {
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0)
        return "it cannot be examined";
    if (!S_ISDIR(info.st_mode))
        return "it is not a folder";
    if (info.st_uid != geteuid())
        return "it belongs to user " + std::to_string(info.st_uid);
    const mode_t mode = info.st_mode & 07777;
    if (mode != kPrivateFolderMode && mode != kSharedFolderMode)
        return "its mode is not 0700 or 0755";
    return "";
}

std::string userConfigFolder() {
    // After an elevated relaunch the folder stays the invoking user's, as it does on a system
    // whose elevation keeps the user's profile.
    if (const auto invoker = pkexecInvoker()) {
        const std::string home = homeOf(*invoker);
        if (!home.empty())
            return home + "/.config";
    }
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
    const auto configHome = environmentValue("XDG_CONFIG_HOME");
    if (configHome && !configHome->empty() && configHome->front() == '/')
        return *configHome;
    auto home = environmentValue("HOME");
    if (!home || home->empty()) {
        const std::string own = homeOf(getuid());
        home = own.empty() ? std::string("/") : own;
    }
    return *home + "/.config";
}

bool canAppendTo(const std::string& path) {
    const int descriptor = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return false;
    close(descriptor);
    return true;
}

} // namespace platform
