#pragma once

#include <cstdint>

namespace Kestrel {
namespace Logging {

// The appender class that writes Kestrel's own log file: appended to, never truncated, opened
// without following a link, rotated by size into one previous file (platform/LogFile.h). Its
// options: File, and MaxFileSize in bytes (default kLogRotateBytes).
constexpr const char* kLogFileAppenderClass = "kestrel::LogFileAppender";
constexpr uint64_t kLogRotateBytes = 8ull * 1024 * 1024;

// Makes the class known to the property configurator; later calls do nothing.
void registerLogFileAppender();

} // namespace Logging
} // namespace Kestrel
