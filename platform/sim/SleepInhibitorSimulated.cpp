#include "platform/sim/SleepInhibitorSimulated.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace platform {
namespace {

class SimulatedInhibitor : public InhibitorLock {
public:
    explicit SimulatedInhibitor(std::filesystem::path path) : path_(std::move(path)) {}
    ~SimulatedInhibitor() override {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

private:
    std::filesystem::path path_;
};

} // namespace

std::unique_ptr<InhibitorLock>
takeSimulatedInhibitor(const std::string& root, const std::string& what, const std::string& who,
                       const std::string& why, const std::string& mode, InhibitResult& result,
                       std::string& detail) {
    const std::filesystem::path path = std::filesystem::path(root) / "sleep-inhibitor";
    const std::filesystem::path temporary = path.string() + ".tmp";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << what << "\t" << who << "\t" << why << "\t" << mode << "\n";
        if (!file) {
            result = InhibitResult::failed;
            detail = "cannot write " + temporary.string();
            return nullptr;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        result = InhibitResult::failed;
        detail = "cannot write " + path.string() + ": " + error.message();
        return nullptr;
    }
    result = InhibitResult::taken;
    return std::make_unique<SimulatedInhibitor>(path);
}

} // namespace platform
