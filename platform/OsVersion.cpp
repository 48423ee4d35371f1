#include "platform/OsVersion.h"

#include <mutex>

namespace platform {
namespace {

std::mutex versionMutex;
std::optional<OsVersion> overridden;
uint32_t failure = 0;

} // namespace

uint32_t queryOsVersion(OsVersion& version) {
    std::lock_guard<std::mutex> guard(versionMutex);
    if (failure != 0)
        return failure;
    version = overridden ? *overridden : OsVersion{};
    return 0;
}

void overrideOsVersion(std::optional<OsVersion> version) {
    std::lock_guard<std::mutex> guard(versionMutex);
    overridden = version;
}

void overrideOsVersionFailure(uint32_t error) {
    std::lock_guard<std::mutex> guard(versionMutex);
    failure = error;
}

} // namespace platform
