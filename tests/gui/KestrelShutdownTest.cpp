#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>

namespace {

using namespace kestrel_binary;

constexpr const char* kCheckReading = "Read firmware version from device";
constexpr const char* kDownloadStarted = "Send At Command: AT%LOAD succeed";

class KestrelShutdown : public KestrelBinary {
protected:
    bool serviceRunning() {
        return readFile(root / "services.json").find("running") != std::string::npos;
    }
    fs::path logFile() { return root / "sysroot/var/log" / kLogName; }
};

TEST_F(KestrelShutdown, CardLeavingDuringTheCheckEndsWithCategory4EveryTime) {
    constexpr int kRepetitions = 20;
    for (int run = 0; run < kRepetitions; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        std::error_code ignored;
        fs::remove(logFile(), ignored);
        startCard();
        const pid_t pid = startKestrel({"-q", "-l", "-p", codePath()});
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitForLog(kCheckReading)) << log();
        // The machine learns of the removal first and the ports go a moment later, so the check
        // is still reading when the workflow ends the program.
        fs::remove(root / "devices/cardsim.json");
        ASSERT_TRUE(waitForLog("Dispatch event 'sigDeparture'")) << log();
        unplugCard();
        const int exitCode = waitForExit(pid, std::chrono::seconds(30));
        ASSERT_EQ(exitCode, 4) << "-1 is a crash, -2 a hang\n"
                               << log() << "\n--- output\n"
                               << startedOutput();
        ASSERT_EQ(codeFile(), "259\n");
    }
}

TEST_F(KestrelShutdown, SigtermDuringTheDownloadStopsBetweenBlocksAndASecondRunRecovers) {
    environment["KESTREL_TIME_SCALE"] = "0.1";
    startCard({"--link-rate", "100000"});
    const pid_t pid = startKestrel({"-q", "-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog(kDownloadStarted)) << log();
    kill(pid, SIGTERM);
    const auto interrupted = std::chrono::steady_clock::now();
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(30)), 1) << log() << startedOutput();
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(5))
        << "the download stops at the next block, long before its end";
    EXPECT_EQ(codeFile(), "1223\n");
    EXPECT_TRUE(serviceRunning()) << "the service is started again";
    const std::string text = log();
    EXPECT_NE(text.find("Interrupted by signal 15"), std::string::npos);
    EXPECT_NE(text.find("AppDeviceTrait::terminate()"), std::string::npos)
        << "the libraries are shut down";
    EXPECT_FALSE(registryWritten());

    // The card waits in loader mode; the next run recovers it.
    const ProcessRun second = kestrel({"-q", "-l", "-p", codePath()});
    EXPECT_EQ(second.exitCode, 0) << second.output << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_TRUE(registryWritten());
}

TEST_F(KestrelShutdown, SecondSignalDuringTheCleanUpEndsAtOnce) {
    environment["KESTREL_TIME_SCALE"] = "0.1";
    // A card that answers nothing in loader mode keeps the update inside a block wait.
    startCard({"--silent-at-block", "2"});
    const pid_t pid = startKestrel({"-q", "-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog(kDownloadStarted)) << log();
    kill(pid, SIGINT);
    ASSERT_TRUE(waitForLog("Interrupted by signal 2"));
    kill(pid, SIGINT);
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(2)), 1)
        << "the second request ends the process with the interrupted category";
}

TEST_F(KestrelShutdown, AfterASigkillTheNextRunRestoresTheService) {
    environment["KESTREL_TIME_SCALE"] = "0.1";
    startCard({"--link-rate", "100000"});
    const pid_t pid = startKestrel({"-q", "-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog(kDownloadStarted)) << log();
    kill(pid, SIGKILL);
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(10)), -1);
    EXPECT_FALSE(serviceRunning()) << "a killed run cannot start the service again";

    // The killed run may have left the loader inside a frame; whatever this run's result, its
    // own start and end bring the service back.
    const ProcessRun second = kestrel({"-q", "-p", codePath()});
    EXPECT_GE(second.exitCode, 0) << second.output;
    EXPECT_LE(second.exitCode, 5) << "an exit category, not a hang or a crash";
    EXPECT_NE(codeFile(), "");
    EXPECT_TRUE(serviceRunning());
}

TEST_F(KestrelShutdown, ExitCodeFileNamingADeviceIsRefusedBeforeTheWorkflow) {
    startCard();
    const ProcessRun run = kestrel({"-q", "-l", "-p", "/dev/full"}, "60");
    EXPECT_EQ(run.exitCode, 255) << run.output;
    EXPECT_NE(run.output.find("Error creating exit code file"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("/dev/full"), std::string::npos) << run.output;
    EXPECT_TRUE(fs::is_character_file("/dev/full")) << "the device stays";
    EXPECT_FALSE(registryWritten());
}

TEST_F(KestrelShutdown, ExitCodeFileThatCannotBeWrittenAtTheEndGivesStatus255) {
    environment["KESTREL_TIME_SCALE"] = "0.1";
    startCard({"--link-rate", "200000"});
    const pid_t pid = startKestrel({"-q", "-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog(kDownloadStarted)) << log();
    // The empty file of the start gives way to a folder: the result has nowhere to go.
    fs::remove(codePath());
    fs::create_directory(codePath());
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(60)), 255) << log() << startedOutput();
    EXPECT_NE(startedOutput().find("Error writing exit code file '" + codePath() + "'"),
              std::string::npos)
        << startedOutput();
    EXPECT_NE(log().find("Error writing exit code file"), std::string::npos);
    EXPECT_TRUE(registryWritten()) << "the update itself went through";
}

TEST_F(KestrelShutdown, PropertiesFileWhoseAppenderCannotWriteFallsBackToTheDefaultLog) {
    const fs::path properties = root / "config/Velmar/Kestrel.properties";
    fs::create_directories(properties.parent_path());
    std::ofstream(properties) << "log4cplus.rootLogger=DEBUG, broken\n"
                                 "log4cplus.appender.broken=log4cplus::FileAppender\n"
                                 "log4cplus.appender.broken.File="
                              << (root / "no-such-folder/kestrel.log").string() << "\n"
                              << "log4cplus.appender.broken.layout=log4cplus::SimpleLayout\n";
    startCard({"--wrong-lm-code"});
    const ProcessRun run = kestrel({"-q", "-l", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("logging to"), std::string::npos) << run.output;
    EXPECT_NE(log().find("Execution mode is execNoInterface"), std::string::npos)
        << "the default log is written";
}

// The main window shows the record while the check and update threads fill it; the race
// detector's build of this test fails if a field is written and shown without the record's lock.
TEST_F(KestrelShutdown, PowerChangesWhileTheCardIsReadAreShownAsTheUpdateRuns) {
    startCard();
    const pid_t pid = startKestrel({"-u", "-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    int exitCode = -2;
    bool onBattery = false;
    for (int change = 0; change < 2000; ++change) {
        onBattery = !onBattery;
        writeFile(root / "power.json", std::string("{\"acOnline\": ") +
                                           (onBattery ? "false" : "true") +
                                           ", \"batteryPercent\": 90}\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            forget(pid);
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
    }
    if (exitCode == -2)
        exitCode = waitForExit(pid, std::chrono::seconds(30));
    EXPECT_EQ(exitCode, 0) << log() << startedOutput();
    EXPECT_EQ(codeFile(), "0\n");
    const std::string text = log();
    const size_t firstPower = text.find("Handling event (ctetPower");
    EXPECT_NE(firstPower, std::string::npos);
    EXPECT_LT(firstPower, text.find("Device update is complete"))
        << "power reports reached the window while the card was read";
}

TEST_F(KestrelShutdown, SupportedCardAfterAnUnsupportedOneOpensTheUpdatePage) {
    startCard({"--wrong-lm-code"});
    const pid_t pid = startKestrel({"-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog("Application::openWindow(3, 2, 7)")) << log();
    unplugCard();
    ASSERT_TRUE(waitForLog("StateMachine::StateMachine::noCard: entry")) << log();
    startCard();
    EXPECT_TRUE(waitForLog("Application::openWindow(2, 0, 6)")) << log();
    kill(pid, SIGTERM);
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(20)), 1) << startedOutput();
    EXPECT_EQ(codeFile(), "1223\n") << "the run ended by the signal, not by the refusal";
}

} // namespace
