#pragma once

#include <cstdint>

// Win32 error numbers, as the facilities report them on every system.
namespace platform {

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorWriteFault = 29;
constexpr uint32_t kErrorReadFault = 30;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorWaitTimeout = 258;
constexpr uint32_t kErrorDeviceNotConnected = 1167;

} // namespace platform
