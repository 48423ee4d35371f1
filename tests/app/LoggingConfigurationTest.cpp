#include "app/util/LoggingConfiguration.h"

#include "app/util/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Logging is process-wide and configured once, so each scenario runs in a fresh child process,
// against a simulated machine and a configuration folder in a temporary directory.
class LoggingScenario : public ::testing::Test {
protected:
    void SetUp() override {
        // The child runs this fixture again, in a fresh process that inherits the environment:
        // it must find the parent's folder, not make its own.
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        if (const char* inherited = std::getenv("KESTREL_LOGGING_TEST_ROOT")) {
            root = inherited;
            return;
        }
        root = fs::temp_directory_path() /
               ("kestrel-logging-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "config");
        setenv("KESTREL_LOGGING_TEST_ROOT", root.c_str(), 1);
        setenv("KESTREL_SIM_ROOT", (root / "machine").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KESTREL_LOGGING_TEST_ROOT");
        unsetenv("KESTREL_SIM_ROOT");
        unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(root);
    }
    fs::path logFile() const {
        return root / "machine/sysroot/var/log/Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard.log";
    }
    void writeProperties(const std::string& text) {
        fs::create_directories(root / "config/Velmar");
        std::ofstream(root / "config/Velmar/Kestrel.properties") << text;
    }

    fs::path root;
};

TEST_F(LoggingScenario, PathsFollowTheSimulatedMachineAndTheConfigFolder) {
    EXPECT_EQ(Kestrel::Logging::logFilePath(), logFile().string());
    EXPECT_EQ(Kestrel::Logging::propertiesFilePath(),
              (root / "config/Velmar/Kestrel.properties").string());
}

TEST_F(LoggingScenario, OffByDefaultEvenWithAPropertiesFile) {
    const fs::path custom = root / "custom.log";
    writeProperties("log4cplus.rootLogger=DEBUG, file\n"
                    "log4cplus.appender.file=log4cplus::FileAppender\n"
                    "log4cplus.appender.file.File=" +
                    custom.string() +
                    "\n"
                    "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
                    "log4cplus.appender.file.layout.ConversionPattern=%m%n\n");
    EXPECT_EXIT(
        {
            Kestrel::Logging::configureLogging();
            Kestrel::Logging::setLogging(false, true);
            KESTREL_ERROR(Kestrel::Log::logger("kestrel.app.main"), "must not appear");
            _exit(Kestrel::Logging::loggingEnabled() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readFile(custom).find("must not appear"), std::string::npos);
    EXPECT_FALSE(fs::exists(logFile()));
}

TEST_F(LoggingScenario, TurningOnStartsANewLogWithTheNoticeAndTurningOffEndsIt) {
    EXPECT_EXIT(
        {
            Kestrel::Logging::configureLogging();
            Kestrel::Logging::setLogging(false, true);
            KESTREL_DEBUG(Kestrel::Log::logger("kestrel.fsm"), "dropped while off");
            Kestrel::Logging::setLogging(true, false);
            KESTREL_DEBUG(Kestrel::Log::logger("kestrel.fsm"), "while on");
            Kestrel::Logging::setLogging(false, false);
            KESTREL_DEBUG(Kestrel::Log::logger("kestrel.fsm"), "dropped after off");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const auto entries = lines(readFile(logFile()));
    ASSERT_EQ(entries.size(), 3u) << readFile(logFile());
    EXPECT_TRUE(endsWith(entries[0], "INFO  root> Logging turned on")) << entries[0];
    EXPECT_TRUE(endsWith(entries[1], "DEBUG kestrel.fsm> while on")) << entries[1];
    EXPECT_TRUE(endsWith(entries[2], "INFO  root> Logging turned off")) << entries[2];
    // "%d{%Y-%m-%d %H:%M:%S.%q} [%-10t] ": date, time with milliseconds, padded thread name.
    EXPECT_EQ(entries[0][4], '-');
    EXPECT_EQ(entries[0][10], ' ');
    EXPECT_EQ(entries[0][19], '.');
    EXPECT_EQ(entries[0][24], '[');
}

TEST_F(LoggingScenario, PropertiesFileWithItsOwnRootAppenderReplacesTheBuiltInConfiguration) {
    const fs::path custom = root / "custom.log";
    writeProperties("log4cplus.rootLogger=DEBUG, file\n"
                    "log4cplus.appender.file=log4cplus::FileAppender\n"
                    "log4cplus.appender.file.File=" +
                    custom.string() +
                    "\n"
                    "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
                    "log4cplus.appender.file.layout.ConversionPattern=custom %c %m%n\n");
    EXPECT_EXIT(
        {
            Kestrel::Logging::configureLogging();
            Kestrel::Logging::setLogging(false, true);
            Kestrel::Logging::setLogging(true, false);
            KESTREL_WARN(Kestrel::Log::logger("engine"), "from the flasher");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readFile(custom), "custom root Logging turned on\ncustom engine from the flasher\n");
    EXPECT_FALSE(fs::exists(logFile()));
}

TEST_F(LoggingScenario, MessageIsNotBuiltWhenTheLevelIsOff) {
    EXPECT_EXIT(
        {
            Kestrel::Logging::configureLogging();
            Kestrel::Logging::setLogging(false, true);
            int built = 0;
            auto expensive = [&built] {
                ++built;
                return "text";
            };
            KESTREL_DEBUG(Kestrel::Log::logger("kestrel.fsm"), expensive());
            Kestrel::Logging::setLogging(true, true);
            KESTREL_DEBUG(Kestrel::Log::logger("kestrel.fsm"), expensive());
            _exit(built == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Keeps the source position of every event it receives.
class PositionCollector : public log4cplus::Appender {
public:
    ~PositionCollector() override { destructorImpl(); }
    void close() override {}
    std::string file;
    int line = 0;
    std::string message;

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        file = event.getFile();
        line = event.getLine();
        message = event.getMessage();
    }
};

TEST(LogMacros, MessageCarriesTheFileAndLineOfTheCall) {
    log4cplus::Logger logger = Kestrel::Log::logger("kestrel.test.position");
    auto* collector = new PositionCollector;
    log4cplus::SharedAppenderPtr appender(collector);
    log4cplus::Logger::getDefaultHierarchy().enableAll();
    logger.setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
    logger.addAppender(appender);
    KESTREL_WARN(logger, "the call");
    const int line = __LINE__ - 1;
    logger.removeAppender(appender);
    EXPECT_EQ(collector->message, "the call");
    EXPECT_TRUE(endsWith(collector->file, "LoggingConfigurationTest.cpp")) << collector->file;
    EXPECT_EQ(collector->line, line);
}

} // namespace
