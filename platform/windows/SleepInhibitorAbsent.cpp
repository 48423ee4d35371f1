#include "platform/NativeBackend.h"

namespace platform {

// Windows has no logind: nothing to take.
std::unique_ptr<InhibitorLock> takeSystemInhibitor(const std::string&, const std::string&,
                                                   const std::string&, const std::string&,
                                                   InhibitResult& result, std::string& detail) {
    result = InhibitResult::absent;
    detail = "no logind on Windows";
    return nullptr;
}

} // namespace platform
