#include "app/util/LoggingConfiguration.h"

#include "app/util/Log.h"
#include "platform/Process.h"
#include "platform/SystemPaths.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

namespace Kestrel {
namespace Logging {
namespace {

constexpr const char* kApplicationName = "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard";

bool loggingConfigured = false;
bool loggingOn = false;
// The files the root logger's appenders write to, as configured.
std::vector<std::string> configuredFiles;

// Warnings about the user's properties file, logged once logging is turned on (until then
// nothing may be written).
std::vector<std::string> pendingWarnings;

constexpr const char* kPropertyPrefix = "log4cplus.";
constexpr const char* kAppenderPrefix = "appender.";
constexpr const char* kConsoleAppender = "log4cplus::ConsoleAppender";
// The appender classes that write files, and the options that name their files.
constexpr const char* kFileAppenders[] = {
    "log4cplus::FileAppender",
    "log4cplus::RollingFileAppender",
    "log4cplus::DailyRollingFileAppender",
    "log4cplus::TimeBasedRollingFileAppender",
};
constexpr const char* kFileOptions[] = {"File", "FilenamePattern"};

// Configures the default hierarchy from properties whose keys carry no "log4cplus." prefix.
class Configurator : public log4cplus::PropertyConfigurator {
public:
    explicit Configurator(const log4cplus::helpers::Properties& settings)
        : log4cplus::PropertyConfigurator(std::string(), log4cplus::Logger::getDefaultHierarchy()) {
        properties = settings;
    }

    // The built-in configuration: one file appender on the root logger.
    static log4cplus::helpers::Properties defaults() {
        log4cplus::helpers::Properties settings;
        settings.setProperty("rootLogger", "DEBUG,toFile");
        settings.setProperty("appender.toFile", "log4cplus::FileAppender");
        settings.setProperty("appender.toFile.ImmediateFlush", "true");
        settings.setProperty("appender.toFile.CreateOnWrite", "true");
        settings.setProperty("appender.toFile.layout", "log4cplus::PatternLayout");
        settings.setProperty("appender.toFile.layout.ConversionPattern",
                             "%d{%Y-%m-%d %H:%M:%S.%q} [%-10t] %-5p %c> %m%n");
        settings.setProperty("appender.toFile.File", logFilePath());
        return settings;
    }
};

// The appenders the properties define ("appender.NAME" keys).
std::vector<std::string> appenderNames(const log4cplus::helpers::Properties& properties) {
    std::vector<std::string> names;
    const std::string prefix = kAppenderPrefix;
    for (const std::string& key : properties.propertyNames()) {
        if (key.rfind(prefix, 0) == 0 && key.find('.', prefix.size()) == std::string::npos)
            names.push_back(key.substr(prefix.size()));
    }
    return names;
}

bool insideFolder(const std::string& file, const std::string& folder) {
    const std::filesystem::path path = std::filesystem::path(file).lexically_normal();
    const std::filesystem::path base = std::filesystem::path(folder).lexically_normal();
    if (!path.is_absolute())
        return false;
    const auto [baseEnd, pathAt] =
        std::mismatch(base.begin(), base.end(), path.begin(), path.end());
    return baseEnd == base.end() && pathAt != path.end();
}

// Why an appender may not run as root on behalf of a user; empty when it writes to the
// console, or only into the log folder.
std::string rejection(const log4cplus::helpers::Properties& properties, const std::string& name) {
    const std::string key = kAppenderPrefix + name;
    const std::string type = properties.getProperty(key);
    if (type == kConsoleAppender)
        return "";
    if (std::find(std::begin(kFileAppenders), std::end(kFileAppenders), type) ==
        std::end(kFileAppenders))
        return "it is a " + type + ", neither a console nor a file appender";
    for (const char* option : kFileOptions) {
        const std::string file = properties.getProperty(key + "." + option);
        if (!file.empty() && !insideFolder(file, platform::sharedDataFolder()))
            return "it writes to " + file + ", outside " + platform::sharedDataFolder();
    }
    return "";
}

// Removes `name` from a logger's "LEVEL, appender, appender" list.
std::string withoutAppender(const std::string& list, const std::string& name) {
    std::string out;
    size_t start = 0;
    for (bool first = true; start <= list.size(); first = false) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        std::string item = list.substr(start, end - start);
        const size_t begin = item.find_first_not_of(" \t");
        const size_t last = item.find_last_not_of(" \t");
        item = begin == std::string::npos ? "" : item.substr(begin, last - begin + 1);
        if (first || item != name)
            out += (first ? "" : ",") + item;
        start = end + 1;
    }
    return out;
}

void dropAppender(log4cplus::helpers::Properties& properties, const std::string& name) {
    const std::string key = kAppenderPrefix + name;
    for (const std::string& property : properties.propertyNames()) {
        if (property == key || property.rfind(key + ".", 0) == 0)
            properties.removeProperty(property);
        else if (property == "rootLogger" || property.rfind("logger.", 0) == 0)
            properties.setProperty(property,
                                   withoutAppender(properties.getProperty(property), name));
    }
}

// Root reading a user's file keeps only the appenders that cannot write where the user chooses.
void restrictToLogFolderAndConsole(log4cplus::helpers::Properties& properties,
                                   const std::string& path) {
    for (const std::string& name : appenderNames(properties)) {
        const std::string reason = rejection(properties, name);
        if (reason.empty())
            continue;
        pendingWarnings.push_back("Logging appender '" + name + "' of " + path +
                                  " ignored: " + reason);
        dropAppender(properties, name);
    }
}

// The user's properties, or nothing when root must not read them on the invoker's behalf.
std::optional<log4cplus::helpers::Properties> userProperties(const std::string& path) {
    const std::optional<uint32_t> invoker = platform::invokingUser();
    const bool forAnotherUser = invoker && platform::isAdministrator();
    if (forAnotherUser) {
        const std::string reason = platform::untrustedFileReason(path, *invoker);
        if (!reason.empty()) {
            pendingWarnings.push_back("Logging configuration " + path + " ignored: " + reason);
            return std::nullopt;
        }
    }
    log4cplus::helpers::Properties properties =
        log4cplus::helpers::Properties(path).getPropertySubset(kPropertyPrefix);
    if (forAnotherUser)
        restrictToLogFolderAndConsole(properties, path);
    return properties;
}

// Configures log4cplus from the user's file; false when the root logger has appenders but none
// of them can write (every one a file appender whose file cannot be opened), which would turn
// logging on into no log at all.
bool configureFromFile(const std::string& path) {
    const std::optional<log4cplus::helpers::Properties> properties = userProperties(path);
    if (!properties)
        return true;
    Configurator configurator(*properties);
    configurator.configure();
    const log4cplus::SharedAppenderPtrList appenders =
        log4cplus::Logger::getRoot().getAllAppenders();
    if (appenders.empty())
        return true;
    bool writable = false;
    for (const log4cplus::SharedAppenderPtr& appender : appenders) {
        const std::string file =
            properties->getProperty(kAppenderPrefix + appender->getName() + ".File");
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
        Configurator defaults(Configurator::defaults());
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
        for (const std::string& warning : pendingWarnings)
            KESTREL_WARN(root, warning);
        pendingWarnings.clear();
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
