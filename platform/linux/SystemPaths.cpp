#include "platform/SystemPaths.h"

#include "platform/Environment.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <system_error>

namespace platform {

std::string sharedDataFolder() {
    return systemPath("/var/log");
}

namespace {

// The home folder of `uid` from the user database (under the simulated machine's sysroot on
// a simulated machine); empty when it has none.
std::string homeOf(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    if (entry == nullptr || entry->pw_dir == nullptr || *entry->pw_dir == '\0')
        return "";
    return systemPath(entry->pw_dir);
}

// The user who started an elevated relaunch through pkexec, which runs it as root with root's
// environment; nothing when this process was not started that way.
std::optional<uid_t> pkexecInvoker() {
    const auto text = environmentValue("PKEXEC_UID");
    if (!text)
        return std::nullopt;
    uid_t uid = 0;
    const char* const last = text->data() + text->size();
    const auto [end, error] = std::from_chars(text->data(), last, uid);
    if (error != std::errc() || end != last)
        return std::nullopt;
    return uid;
}

} // namespace

std::optional<uint32_t> invokingUser() {
    return pkexecInvoker();
}

std::string untrustedFileReason(const std::string& path, uint32_t uid) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return "it cannot be examined";
    if (!S_ISREG(info.st_mode))
        return "it is not a regular file";
    if (info.st_uid != uid)
        return "it does not belong to user " + std::to_string(uid);
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "others can write it";
    return "";
}

std::string runtimeFolder() {
    const std::string folder = systemPath("/run/kestrel");
    createFolders(folder);
    return folder;
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
