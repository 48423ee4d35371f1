#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char* const kLogName = "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard.log";

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

struct ProcessRun {
    int exitCode = -1;
    std::string output;
};

// Runs the real kestrel and the card simulator on a simulated machine of their own.
class KestrelBinary : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/kestrel-e2e-XXXXXX";
        root = mkdtemp(folder);
        fs::create_directories(root / "devices");
        std::ofstream(root / "services.json") << "{\"CmxService\": \"running\"}\n";
        std::ofstream(root / "power.json") << "{\"acOnline\": true, \"batteryPercent\": 100}\n";
        environment["KESTREL_SIM_ROOT"] = root.string();
        environment["KESTREL_TIME_SCALE"] = "0.05";
        environment["KESTREL_OBJECT_NAMESPACE"] = (root / "objects").string();
        environment["XDG_CONFIG_HOME"] = (root / "config").string();
    }
    void TearDown() override {
        for (pid_t pid : background) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    std::vector<std::string> environmentList() const {
        std::map<std::string, std::string> all;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const size_t equals = text.find('=');
            if (equals != std::string::npos)
                all[text.substr(0, equals)] = text.substr(equals + 1);
        }
        for (const auto& [name, value] : environment)
            all[name] = value;
        std::vector<std::string> list;
        for (const auto& [name, value] : all)
            list.push_back(name + "=" + value);
        return list;
    }

    pid_t spawn(std::vector<std::string> words, const fs::path& output) {
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        std::vector<std::string> variables = environmentList();
        std::vector<char*> envp;
        for (std::string& variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        return error == 0 ? pid : -1;
    }

    void startCard(std::vector<std::string> options = {}) {
        std::vector<std::string> words = {KESTREL_CARDSIM, "--root", root.string()};
        words.insert(words.end(), options.begin(), options.end());
        const pid_t pid = spawn(words, root / "cardsim.txt");
        ASSERT_GT(pid, 0);
        background.push_back(pid);
        for (int attempt = 0; attempt < 200 && !fs::exists(root / "devices" / "cardsim.json");
             ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(fs::exists(root / "devices" / "cardsim.json"));
    }

    // kestrel with `arguments`, bounded by `timeout` so that a hang fails the test.
    ProcessRun kestrel(std::vector<std::string> arguments, const char* limit = "60") {
        std::vector<std::string> words = {"timeout", limit, KESTREL_BINARY};
        words.insert(words.end(), arguments.begin(), arguments.end());
        const fs::path output = root / ("kestrel-" + std::to_string(++runs) + ".txt");
        const pid_t pid = spawn(words, output);
        ProcessRun run;
        if (pid <= 0)
            return run;
        int status = 0;
        waitpid(pid, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.output = readFile(output);
        return run;
    }

    pid_t startKestrel(std::vector<std::string> arguments) {
        std::vector<std::string> words = {KESTREL_BINARY};
        words.insert(words.end(), arguments.begin(), arguments.end());
        const pid_t pid = spawn(words, root / "first-kestrel.txt");
        background.push_back(pid);
        return pid;
    }

    std::string log() { return readFile(root / "sysroot/var/log" / kLogName); }
    std::string codeFile() { return readFile(root / "out/code.txt"); }
    std::string codePath() { return (root / "out/code.txt").string(); }
    bool registryWritten() { return fs::exists(root / "sysroot/var/lib/kestrel/registry.txt"); }

    fs::path root;
    std::map<std::string, std::string> environment;
    std::vector<pid_t> background;
    int runs = 0;
};

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
    const std::string command = readFile(root / "elevated.txt");
    EXPECT_NE(command.find(std::string(KESTREL_BINARY) + " -q -l -p " + codePath()),
              std::string::npos)
        << command;
}

TEST_F(KestrelBinary, DismissedElevationEndsWith1AndNoMessage) {
    const fs::path refuse = root / "refuse.sh";
    std::ofstream(refuse) << "#!/bin/sh\nexit 126\n";
    fs::permissions(refuse, fs::perms::owner_all);
    environment["KESTREL_ADMINISTRATOR"] = "0";
    environment["KESTREL_ELEVATION_COMMAND"] = refuse.string();
    const ProcessRun run = kestrel({"-q", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output.find("canceled"), std::string::npos) << run.output;
    EXPECT_EQ(codeFile(), "");
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
