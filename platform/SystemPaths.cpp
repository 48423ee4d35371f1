#include "platform/SystemPaths.h"

#include "platform/Environment.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <system_error>

namespace platform {

std::optional<std::string> simulatedMachineRoot() {
    auto root = environmentValue("KESTREL_SIM_ROOT");
    if (!root || root->empty())
        return std::nullopt;
    return root;
}

std::string systemPath(const std::string& absolutePath) {
    const auto root = simulatedMachineRoot();
    if (!root)
        return absolutePath;
    return *root + "/sysroot" + absolutePath;
}

std::string sharedDataFolder() {
    return systemPath("/var/log");
}

namespace {

// The home folder of `uid` from the user database; empty when it has none.
std::string homeOf(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
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

bool isRegularFile(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

bool canAppendTo(const std::string& path) {
    const int descriptor = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return false;
    close(descriptor);
    return true;
}

bool createFolders(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

} // namespace platform
