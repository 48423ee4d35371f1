#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace kestrel_binary;

TEST_F(KestrelBinary, QuietUpdateEndsWith0AndRecordsIt) {
    startCard();
    const ProcessRun run = kestrel({"-q", "-l", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_TRUE(registryWritten());
    const std::string text = log();
    EXPECT_NE(text.substr(0, text.find('\n')).find("Logging turned on"), std::string::npos)
        << text.substr(0, 200);
    EXPECT_NE(text.find("Execution mode is execNoInterface"), std::string::npos);
    EXPECT_NE(text.find("Handling event (ctetProgress 3 0 0)"), std::string::npos);
    EXPECT_NE(readFile(root / "services.json").find("running"), std::string::npos)
        << "the service is started again at the end";
}

TEST_F(KestrelBinary, UnattendedUpdateShowsTheWindowsAndEndsWith0) {
    startCard();
    const ProcessRun run = kestrel({"-u", "-l", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_TRUE(registryWritten());
    EXPECT_NE(log().find("Execution mode is execUnattended"), std::string::npos);
    EXPECT_NE(log().find("Application::openWindow(5, 2, 9)"), std::string::npos);
}

TEST_F(KestrelBinary, UnsupportedCardIsRefusedWith258) {
    startCard({"--wrong-lm-code"});
    const ProcessRun run = kestrel({"-q", "-p", codePath()});
    EXPECT_EQ(codeFile(), "258\n");
    EXPECT_EQ(run.exitCode, 2) << "258 is in the device category of the exit codes";
    EXPECT_FALSE(registryWritten());
}

TEST_F(KestrelBinary, SecondInstanceEndsAtOnceWithoutTouchingTheDevice) {
    const pid_t first = startKestrel({"-l"});
    ASSERT_GT(first, 0);
    for (int attempt = 0;
         attempt < 500 && log().find("Application::openWindow(1") == std::string::npos; ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(log().find("Application::openWindow(1"), std::string::npos);
    const ProcessRun second = kestrel({"-q", "-p", codePath()}, "20");
    EXPECT_NE(second.exitCode, 0);
    EXPECT_NE(second.exitCode, 124) << "the second instance must not wait";
    EXPECT_EQ(codeFile(), "") << "the second instance never ran the workflow";
}

TEST_F(KestrelBinary, ExitCodeFileInADirectoryThatCannotBeMadeStopsBeforeTheWorkflow) {
    std::ofstream(root / "plain-file") << "not a directory\n";
    const std::string path = (root / "plain-file/sub/code.txt").string();
    const ProcessRun run = kestrel({"-q", "-l", "-p", path});
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.output.find("Error creating exit code file"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(path), std::string::npos);
    EXPECT_EQ(log().find("StateMachine::"), std::string::npos) << "the workflow never started";
    EXPECT_NE(readFile(root / "services.json").find("running"), std::string::npos);
}

TEST_F(KestrelBinary, PlainUserRelaunchesElevatedAndPassesTheChildsResultOn) {
    startCard({"--wrong-lm-code"});
    // Stands in for the elevation prompt: notes the command, then runs it as administrator.
    const fs::path elevate = root / "elevate.sh";
    std::ofstream(elevate) << "#!/bin/sh\necho \"$@\" > \"$KESTREL_SIM_ROOT/elevated.txt\"\n"
                              "exec env KESTREL_ADMINISTRATOR=1 \"$@\"\n";
    fs::permissions(elevate, fs::perms::owner_all);
    environment["KESTREL_ADMINISTRATOR"] = "0";
    environment["KESTREL_ELEVATION_COMMAND"] = elevate.string();
    const ProcessRun run = kestrel({"-q", "-l", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(codeFile(), "258\n") << "the relaunching process leaves the child's result";
    // The program follows the elevation command directly, so that the prompt names it.
    const std::string command = readFile(root / "elevated.txt");
    EXPECT_EQ(command, std::string(KESTREL_BINARY) + " -q -l -p " + codePath() + "\n");
}

TEST_F(KestrelBinary, DismissedElevationEndsWith1AndNoMessageAndTheFileSays1223) {
    const fs::path refuse = root / "refuse.sh";
    std::ofstream(refuse) << "#!/bin/sh\nexit 126\n";
    fs::permissions(refuse, fs::perms::owner_all);
    environment["KESTREL_ADMINISTRATOR"] = "0";
    environment["KESTREL_ELEVATION_COMMAND"] = refuse.string();
    const ProcessRun run = kestrel({"-q", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output.find("canceled"), std::string::npos) << run.output;
    EXPECT_EQ(codeFile(), "1223\n") << "the installer learns that nothing ran";
}

TEST_F(KestrelBinary, GermanFallsBackToEnglish) {
    startCard();
    const ProcessRun run = kestrel({"-q", "-l", "-i", "de"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(log().find("Setting user language to de"), std::string::npos);
    EXPECT_NE(log().find("Message catalog for user language not found"), std::string::npos);
    EXPECT_EQ(log().find("Application catalog not found"), std::string::npos);
}

} // namespace

namespace {

using namespace kestrel_binary;

constexpr const char* kEmbeddedFirmware = "3.19.0";

TEST_F(KestrelBinary, QuietUpdateEndsWithOneSummaryLineAndWritesTheJsonObject) {
    startCard();
    const fs::path json = root / "out/result.json";
    fs::create_directories(json.parent_path());
    const ProcessRun run = kestrel({"-q", "-l", "-p", codePath(), "--json", json.string()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.standardOutput, "");
    const std::string logPath = (root / "sysroot/var/log" / kLogName).string();
    EXPECT_EQ(run.standardError, "kestrel: result 0 (0x00000000) \"Update completed!\", exit "
                                 "category 0, firmware 3.18.2 -> " +
                                     std::string(kEmbeddedFirmware) + ", log " + logPath + "\n");

    const nlohmann::json result = nlohmann::json::parse(readFile(json));
    EXPECT_EQ(result["result"], 0);
    EXPECT_EQ(result["resultHex"], "0x00000000");
    EXPECT_EQ(result["description"], "Update completed!");
    EXPECT_EQ(result["exitCategory"], 0);
    EXPECT_EQ(result["firmwareBefore"], "3.18.2");
    EXPECT_EQ(result["firmwareAfter"], kEmbeddedFirmware);
    EXPECT_EQ(result["logFiles"], nlohmann::json::array({logPath}));
    EXPECT_EQ(result["card"]["model"], "QT0880");
    EXPECT_EQ(result["card"]["productCode"].get<std::string>().rfind("QT0880-", 0), 0u);
    EXPECT_EQ(result["card"]["vendorId"], "0x1234");
    EXPECT_EQ(result["card"]["productId"], "0x5678");
    EXPECT_NE(result["card"]["applicationPort"].get<std::string>().find("pts/"), std::string::npos);
    EXPECT_EQ(result["package"]["firmware"], kEmbeddedFirmware);
    EXPECT_EQ(result["kestrelVersion"], "1.0.0.272");
}

TEST_F(KestrelBinary, UnattendedRefusalSummarisesInEnglishAndWritesJsonToStandardOutput) {
    startCard({"--wrong-lm-code"});
    const ProcessRun run = kestrel({"-u", "-i", "de", "--json", "-"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(run.standardError,
              "kestrel: result 258 (0x00000102) \"Your device is not supported by this "
              "application.\", exit category 2, firmware 3.18.2 -> 3.18.2\n")
        << "no log file when logging is off";
    ASSERT_EQ(std::count(run.standardOutput.begin(), run.standardOutput.end(), '\n'), 1)
        << run.standardOutput;
    const nlohmann::json result = nlohmann::json::parse(run.standardOutput);
    EXPECT_EQ(result["result"], 258);
    EXPECT_EQ(result["exitCategory"], 2);
    EXPECT_EQ(result["logFiles"], nlohmann::json::array());
    EXPECT_EQ(result["card"]["productCode"], "QT0880-00000");
}

TEST_F(KestrelBinary, NormalModeKeepsStandardErrorQuiet) {
    // The welcome page waits for a user; SIGTERM ends the run as a user's cancel would.
    const pid_t pid = startKestrel({"-l"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog("Application::openWindow(1")) << log();
    kill(pid, SIGTERM);
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(30)), 1);
    EXPECT_EQ(startedOutput(), "") << "no summary line without -q or -u";
}

} // namespace

namespace {

using namespace kestrel_binary;

// Root started through pkexec on behalf of the user "nobody", whose home folder lies in the
// simulated machine's sysroot.
class ElevatedForAUser : public KestrelBinary {
protected:
    void SetUp() override {
        KestrelBinary::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root, as the elevated program has";
        const passwd* nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        invoker = nobody->pw_uid;
        environment["PKEXEC_UID"] = std::to_string(invoker);
        properties =
            root / ("sysroot" + std::string(nobody->pw_dir)) / ".config/Velmar/Kestrel.properties";
        fs::create_directories(properties.parent_path());
        fs::create_directories(logFolder());
    }

    void writeProperties(const std::string& text, uid_t owner, mode_t mode) {
        std::ofstream(properties) << text;
        ASSERT_EQ(chown(properties.c_str(), owner, 0), 0);
        ASSERT_EQ(chmod(properties.c_str(), mode), 0);
    }

    fs::path logFolder() { return root / "sysroot/var/log"; }

    uid_t invoker = 0;
    fs::path properties;
};

TEST_F(ElevatedForAUser, OnlyConsolesKestrelsOwnLogLayoutsAndLevelsAreTakenAndNothingElseIsMade) {
    startCard();
    const fs::path chosen = root / "chosen-by-the-user.txt";
    const fs::path escaping = root / "escaping.txt";
    const fs::path lock = root / "lock-by-the-user";
    const fs::path secret = root / "root-only.properties";
    std::ofstream(secret) << "log4cplus.logger.kestrel.fsm=OFF\n";
    chmod(secret.c_str(), 0600);
    const std::string layout = ".layout=log4cplus::SimpleLayout\n";
    writeProperties("include " + secret.string() +
                        "\n"
                        "log4cplus.rootLogger=DEBUG, chosen, kept\n"
                        "log4cplus.appender.chosen=log4cplus::FileAppender\n"
                        "log4cplus.appender.chosen.File=" +
                        chosen.string() + "\nlog4cplus.appender.chosen" + layout +
                        "log4cplus.appender.kept=log4cplus::FileAppender\n"
                        "log4cplus.appender.kept.File=" +
                        (logFolder() / kLogName).string() +
                        "\nlog4cplus.appender.kept.LockFile=" + lock.string() +
                        "\nlog4cplus.appender.kept.layout=log4cplus::PatternLayout\n"
                        "log4cplus.appender.kept.layout.ConversionPattern=user %p %c> %m%n\n"
                        "log4cplus.logger.kestrel.app.main=DEBUG, escaping\n"
                        "log4cplus.appender.escaping=log4cplus::RollingFileAppender\n"
                        "log4cplus.appender.escaping.File=" +
                        (logFolder() / "../../../escaping.txt").string() +
                        "\nlog4cplus.appender.escaping" + layout +
                        "log4cplus.appender.remote=log4cplus::SocketAppender\n"
                        "log4cplus.appender.remote.host=localhost\n",
                    invoker, 0644);
    const ProcessRun run = kestrel({"-q", "-l", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(fs::exists(chosen)) << "root created a file the user named";
    EXPECT_FALSE(fs::exists(escaping));
    EXPECT_FALSE(fs::exists(lock)) << "LockFile is not the user's to choose";
    EXPECT_EQ(run.output.find("log4cplus:ERROR"), std::string::npos) << run.output;
    const std::string text = log();
    EXPECT_NE(text.find("user INFO root> Logging turned on"), std::string::npos)
        << "the user's layout for Kestrel's own log\n"
        << text.substr(0, 300);
    EXPECT_NE(text.find("user DEBUG kestrel.fsm>"), std::string::npos)
        << "the included root-only file was not read";
    const size_t warning = text.find("Logging configuration " + properties.string() +
                                     ": ignored when read as administrator: ");
    ASSERT_NE(warning, std::string::npos) << text.substr(0, 2000);
    const std::string ignored = text.substr(warning, text.find('\n', warning) - warning);
    for (const std::string& named :
         {"include " + secret.string(),
          "log4cplus.appender.chosen (log4cplus::FileAppender " + chosen.string() + ")",
          std::string("log4cplus.appender.kept.LockFile"),
          std::string("log4cplus.appender.escaping"), std::string("log4cplus.appender.remote")})
        EXPECT_NE(ignored.find(named), std::string::npos) << named << "\n" << ignored;
    EXPECT_NE(text.find("Execution mode is execNoInterface"), std::string::npos);
}

TEST_F(ElevatedForAUser, UnderSudoTheSameRulesHold) {
    startCard();
    // sudo -E keeps the user's environment: the file is found through XDG_CONFIG_HOME.
    environment.erase("PKEXEC_UID");
    environment["SUDO_UID"] = std::to_string(invoker);
    properties = root / "config/Velmar/Kestrel.properties";
    fs::create_directories(properties.parent_path());
    const fs::path chosen = root / "chosen-by-the-user.txt";
    writeProperties("log4cplus.rootLogger=DEBUG, chosen\n"
                    "log4cplus.appender.chosen=log4cplus::FileAppender\n"
                    "log4cplus.appender.chosen.File=" +
                        chosen.string() +
                        "\nlog4cplus.appender.chosen.layout=log4cplus::SimpleLayout\n",
                    invoker, 0644);
    const ProcessRun run = kestrel({"-q", "-l", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(fs::exists(chosen));
    EXPECT_NE(log().find("ignored when read as administrator: log4cplus.appender.chosen"),
              std::string::npos)
        << log().substr(0, 2000);
    EXPECT_EQ(codeFile(), "0\n");
}

TEST_F(ElevatedForAUser, FileOthersCanWriteOrOfAnotherOwnerIsNotRead) {
    startCard();
    const fs::path kept = logFolder() / "kept.log";
    const std::string text = "log4cplus.rootLogger=DEBUG, kept\n"
                             "log4cplus.appender.kept=log4cplus::FileAppender\n"
                             "log4cplus.appender.kept.File=" +
                             kept.string() +
                             "\nlog4cplus.appender.kept.layout=log4cplus::SimpleLayout\n";
    struct Case {
        uid_t owner;
        mode_t mode;
        const char* reason;
    };
    for (const Case& trial :
         {Case{invoker, 0666, "others can write it"}, Case{invoker, 0664, "others can write it"},
          Case{0, 0644, "it does not belong to user"}}) {
        SCOPED_TRACE(trial.reason);
        std::error_code ignored;
        fs::remove(kept, ignored);
        fs::remove(logFolder() / kLogName, ignored);
        writeProperties(text, trial.owner, trial.mode);
        const ProcessRun run = kestrel({"-q", "-l"});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_FALSE(fs::exists(kept));
        EXPECT_NE(log().find("Logging configuration " + properties.string() +
                             " ignored: " + trial.reason),
                  std::string::npos)
            << log();
        startCard();
    }
}

} // namespace
