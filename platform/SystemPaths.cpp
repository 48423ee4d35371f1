#include "platform/SystemPaths.h"

#include "platform/Environment.h"

#include <pwd.h>
#include <unistd.h>

#include <system_error>
#include <filesystem>

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

std::string userConfigFolder() {
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
    const auto configHome = environmentValue("XDG_CONFIG_HOME");
    if (configHome && !configHome->empty() && configHome->front() == '/')
        return *configHome;
    auto home = environmentValue("HOME");
    if (!home || home->empty()) {
        const passwd* entry = getpwuid(getuid());
        home = std::string(entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/");
    }
    return *home + "/.config";
}

bool isRegularFile(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

bool createFolders(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

} // namespace platform
