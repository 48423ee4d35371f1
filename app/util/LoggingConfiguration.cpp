#include "app/util/LoggingConfiguration.h"

#include "app/util/Log.h"
#include "platform/SystemPaths.h"

#include <cstdio>
#include <vector>

namespace Kestrel {
namespace Logging {
namespace {

constexpr const char* kApplicationName = "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard";

bool loggingConfigured = false;
bool loggingOn = false;
// The files the root logger's appenders write to, as configured.
std::vector<std::string> configuredFiles;

// The built-in configuration: one file appender on the root logger.
class Configurator : public log4cplus::PropertyConfigurator {
public:
    Configurator()
        : log4cplus::PropertyConfigurator(std::string(), log4cplus::Logger::getDefaultHierarchy()) {
        properties.setProperty("rootLogger", "DEBUG,toFile");
        properties.setProperty("appender.toFile", "log4cplus::FileAppender");
        properties.setProperty("appender.toFile.ImmediateFlush", "true");
        properties.setProperty("appender.toFile.CreateOnWrite", "true");
        properties.setProperty("appender.toFile.layout", "log4cplus::PatternLayout");
        properties.setProperty("appender.toFile.layout.ConversionPattern",
                               "%d{%Y-%m-%d %H:%M:%S.%q} [%-10t] %-5p %c> %m%n");
        properties.setProperty("appender.toFile.File", logFilePath());
    }
};

// Configures log4cplus from the user's file; false when the root logger has appenders but none
// of them can write (every one a file appender whose file cannot be opened), which would turn
// logging on into no log at all.
bool configureFromFile(const std::string& path) {
    log4cplus::PropertyConfigurator configurator(path, log4cplus::Logger::getDefaultHierarchy());
    configurator.configure();
    const log4cplus::SharedAppenderPtrList appenders =
        log4cplus::Logger::getRoot().getAllAppenders();
    if (appenders.empty())
        return true;
    bool writable = false;
    for (const log4cplus::SharedAppenderPtr& appender : appenders) {
        const std::string file =
            configurator.getProperties().getProperty("appender." + appender->getName() + ".File");
        if (file.empty() || platform::canAppendTo(file))
            writable = true;
        if (!file.empty())
            configuredFiles.push_back(file);
    }
    return writable;
}

} // namespace

std::string logFilePath() {
    return platform::sharedDataFolder() + "/" + kApplicationName + ".log";
}

std::string propertiesFilePath() {
    return platform::userConfigFolder() + "/Velmar/Kestrel.properties";
}

void configureLogging() {
    if (loggingConfigured)
        return;
    // A missing file configures nothing; asking log4cplus would only print a complaint.
    const std::string properties = propertiesFilePath();
    if (platform::isRegularFile(properties) && !configureFromFile(properties)) {
        std::fprintf(stderr,
                     "Kestrel: no appender of the logging configuration '%s' can write; "
                     "logging to '%s' instead\n",
                     properties.c_str(), logFilePath().c_str());
        log4cplus::Logger::getDefaultHierarchy().resetConfiguration();
        log4cplus::Logger::getRoot().removeAllAppenders();
        configuredFiles.clear();
    }
    if (log4cplus::Logger::getRoot().getAllAppenders().empty()) {
        // The file appender creates its file but not the folder (a fresh simulated sysroot).
        platform::createFolders(platform::sharedDataFolder());
        Configurator defaults;
        defaults.configure();
        configuredFiles = {logFilePath()};
        log4cplus::Logger::getDefaultHierarchy().enableAll();
    }
    loggingConfigured = true;
    loggingOn = true;
}

void setLogging(bool on, bool quiet) {
    const log4cplus::Logger root = log4cplus::Logger::getRoot();
    if (on) {
        configureLogging();
        log4cplus::Logger::getDefaultHierarchy().enableAll();
        if (!quiet)
            KESTREL_INFO(root, "Logging turned on");
    } else {
        if (!quiet)
            KESTREL_INFO(root, "Logging turned off");
        log4cplus::Logger::getDefaultHierarchy().disableAll();
    }
    loggingOn = on;
}

bool loggingEnabled() {
    return loggingOn;
}

const std::vector<std::string>& logFiles() {
    return configuredFiles;
}

} // namespace Logging
} // namespace Kestrel
