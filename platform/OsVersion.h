#pragma once

#include <cstdint>
#include <optional>

// The operating-system version in the terms the card database is keyed by: a platform id and
// a major and minor version. Linux reports the NT family 6.1, so the database's newest
// system-specific keys apply.
namespace platform {

constexpr uint32_t kPlatformWindows9x = 1;
constexpr uint32_t kPlatformNt = 2;

struct OsVersion {
    uint32_t platformId = kPlatformNt;
    uint32_t major = 6;
    uint32_t minor = 1;
    uint32_t build = 7601;
};

// 0 and the version, or the error of the query.
uint32_t queryOsVersion(OsVersion& version);

// Makes queryOsVersion answer `version` (tests posing as another system); nothing returns to
// the real answer.
void overrideOsVersion(std::optional<OsVersion> version);
// Makes queryOsVersion fail with `error` (0 ends the failure).
void overrideOsVersionFailure(uint32_t error);

} // namespace platform
