#include "platform/SystemPaths.h"

#include "platform/Environment.h"

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
