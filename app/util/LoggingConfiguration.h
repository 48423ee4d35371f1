#pragma once

#include <string>
#include <vector>

namespace Kestrel {
namespace Logging {

// Sets up log4cplus once: from the user's properties file, or from the built-in configuration
// when that file gives the root logger no appender. Later calls do nothing.
void configureLogging();

// Turns all logging on or off; `quiet` suppresses the "Logging turned on/off" notice.
void setLogging(bool on, bool quiet);

// The last value given to setLogging.
bool loggingEnabled();

// The files the configured appenders write to (the built-in log file, or those a properties
// file names).
const std::vector<std::string>& logFiles();

// Where the built-in configuration writes: the shared data folder and the application name.
std::string logFilePath();

// The user's properties file: Velmar/Kestrel.properties in the configuration folder.
std::string propertiesFilePath();

} // namespace Logging
} // namespace Kestrel
