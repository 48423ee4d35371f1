#include "app/util/LoggingConfiguration.h"

#include "app/util/Log.h"
#include "app/util/LogFileAppender.h"
#include "platform/Process.h"
#include "platform/SystemPaths.h"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
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
// What an administrator keeps of a user's appender, beyond its class and file.
constexpr const char* kAppenderOptions[] = {"layout", "layout.ConversionPattern", "Threshold",
                                            "ImmediateFlush", "logToStdErr"};
constexpr const char* kLayouts[] = {"log4cplus::PatternLayout", "log4cplus::SimpleLayout",
                                    "log4cplus::TTCCLayout"};
constexpr const char* kIncludeDirective = "include";
// A properties file is a few lines; anything larger is not one.
constexpr size_t kMaximumPropertiesBytes = 64 * 1024;

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
        settings.setProperty("appender.toFile", kLogFileAppenderClass);
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

bool samePath(const std::string& first, const std::string& second) {
    return std::filesystem::path(first).lexically_normal() ==
           std::filesystem::path(second).lexically_normal();
}

bool startsWith(const std::string& text, const std::string& start) {
    return text.rfind(start, 0) == 0;
}

template <size_t N> bool oneOf(const std::string& text, const char* const (&list)[N]) {
    return std::find(std::begin(list), std::end(list), text) != std::end(list);
}

// The text without log4cplus's include directive, which would read any file as root.
std::string withoutIncludes(const std::string& text, std::vector<std::string>& ignored) {
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos &&
            line.compare(start, std::strlen(kIncludeDirective), kIncludeDirective) == 0) {
            const size_t after = start + std::strlen(kIncludeDirective);
            if (after < line.size() && (line[after] == ' ' || line[after] == '\t')) {
                ignored.push_back(line.substr(start));
                continue;
            }
        }
        kept += line + "\n";
    }
    return kept;
}

// Root reading a user's file keeps console appenders, a file appender writing Kestrel's own
// log (through Kestrel's own appender), layouts and levels; the names of everything else go to
// `ignored`.
log4cplus::helpers::Properties allowListed(const log4cplus::helpers::Properties& user,
                                           std::vector<std::string>& ignored) {
    log4cplus::helpers::Properties kept;
    std::vector<std::string> allowed;
    for (const std::string& name : appenderNames(user)) {
        const std::string key = kAppenderPrefix + name;
        const std::string type = user.getProperty(key);
        if (type == kConsoleAppender) {
            kept.setProperty(key, type);
        } else if ((oneOf(type, kFileAppenders) || type == kLogFileAppenderClass) &&
                   samePath(user.getProperty(key + ".File"), logFilePath())) {
            kept.setProperty(key, kLogFileAppenderClass);
            kept.setProperty(key + ".File", logFilePath());
        } else {
            continue;
        }
        allowed.push_back(name);
    }
    for (const std::string& key : user.propertyNames()) {
        const std::string value = user.getProperty(key);
        bool keep = false;
        if (key == "rootLogger" || startsWith(key, "logger.")) {
            std::string list = value;
            for (const std::string& name : appenderNames(user))
                if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
                    list = withoutAppender(list, name);
            kept.setProperty(key, list);
            keep = true;
        } else if (startsWith(key, "additivity.")) {
            kept.setProperty(key, value);
            keep = true;
        } else if (startsWith(key, kAppenderPrefix)) {
            const size_t dot = key.find('.', std::strlen(kAppenderPrefix));
            const std::string name = key.substr(
                std::strlen(kAppenderPrefix),
                dot == std::string::npos ? std::string::npos : dot - std::strlen(kAppenderPrefix));
            const std::string option = dot == std::string::npos ? "" : key.substr(dot + 1);
            const bool allowedAppender =
                std::find(allowed.begin(), allowed.end(), name) != allowed.end();
            if (allowedAppender && (option.empty() || option == "File")) {
                keep = true; // set above
            } else if (!allowedAppender) {
                // A refused appender is named once, with what it is and where it writes.
                keep = true;
                if (option.empty())
                    ignored.push_back(kPropertyPrefix + key + " (" + value + " " +
                                      user.getProperty(key + ".File") + ")");
            } else if (allowedAppender && oneOf(option, kAppenderOptions) &&
                       (option != "layout" || oneOf(value, kLayouts))) {
                kept.setProperty(key, value);
                keep = true;
            }
        }
        if (!keep)
            ignored.push_back(kPropertyPrefix + key);
    }
    return kept;
}

// The user's properties, or nothing when there are none to use. An administrator reads them
// on someone's behalf (an elevated relaunch, sudo, or a file that is not its own) only from a
// file that nobody else could have written, and only what the allow-list keeps.
std::optional<log4cplus::helpers::Properties> userProperties(const std::string& path) {
    const bool administrator = platform::isAdministrator();
    const std::optional<uint32_t> invoker = platform::invokingUser();
    const platform::UserFile file =
        platform::readUserFile(path, administrator, invoker, kMaximumPropertiesBytes);
    if (!file.problem.empty()) {
        pendingWarnings.push_back("Logging configuration " + path + " ignored: " + file.problem);
        return std::nullopt;
    }
    const bool forAnotherUser = administrator && (invoker || file.owner != platform::processUser());
    if (!forAnotherUser) {
        std::istringstream text(file.contents);
        return log4cplus::helpers::Properties(text).getPropertySubset(kPropertyPrefix);
    }
    std::vector<std::string> ignored;
    std::istringstream text(withoutIncludes(file.contents, ignored));
    const log4cplus::helpers::Properties properties = allowListed(
        log4cplus::helpers::Properties(text).getPropertySubset(kPropertyPrefix), ignored);
    if (!ignored.empty()) {
        std::string names;
        for (const std::string& name : ignored)
            names += (names.empty() ? "" : ", ") + name;
        pendingWarnings.push_back("Logging configuration " + path +
                                  ": ignored when read as administrator: " + names);
    }
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
        const std::string key = kAppenderPrefix + appender->getName();
        const std::string file = properties->getProperty(key + ".File");
        // Kestrel's own appender opens its file safely when it first writes; probing it here
        // would open it as anyone's link would have it.
        if (file.empty() || properties->getProperty(key) == kLogFileAppenderClass ||
            platform::canAppendTo(file))
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
    registerLogFileAppender();
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
