#pragma once

#include "GuiTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SimulatedMachine.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestrel_binary {

namespace fs = std::filesystem;

const char* const kLogName = "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard.log";

inline std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// Replaces a file at once (temporary file, then rename), as the simulated machine's owners do.
inline void writeFile(const fs::path& path, const std::string& text) {
    const fs::path temporary = path.string() + ".tmp";
    std::ofstream(temporary) << text;
    fs::rename(temporary, path);
}

struct ProcessRun {
    int exitCode = -1;
    // Standard output followed by standard error.
    std::string output;
    std::string standardOutput;
    std::string standardError;
};

using testsupport::waitUntil;

// Runs the real kestrel and the card simulator on a simulated machine of their own. Each child's
// output goes to a file of its own, printed when the test fails.
class KestrelBinary : public ::testing::Test {
protected:
    // How long the card simulator may take to publish its device file on a loaded machine.
    static constexpr std::chrono::seconds kCardStartLimit{30};

    void SetUp() override {
        root = testsupport::makeSimulatedMachine("/tmp/kestrel-e2e-XXXXXX");
        ASSERT_FALSE(root.empty());
        fs::create_directories(root / "devices");
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
        if (HasFailure())
            printChildOutputs();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // A new file for a child's output, kept until the end of the test: "cardsim-2.txt".
    fs::path outputFile(const std::string& child, const std::string& ending = ".txt") {
        const fs::path file = root / (child + "-" + std::to_string(++outputs) + ending);
        outputFiles.push_back(file);
        return file;
    }

    // Sanitizer reports and messages of every child, in the order they were started.
    void printChildOutputs() const {
        for (const fs::path& file : outputFiles) {
            const std::string text = readFile(file);
            if (!text.empty())
                std::cout << "--- " << file.filename().string() << "\n" << text << "\n";
        }
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
        for (const std::string& name : unsetVariables)
            all.erase(name);
        std::vector<std::string> list;
        for (const auto& [name, value] : all)
            list.push_back(name + "=" + value);
        return list;
    }

    // Runs `words` with standard output into `output` and standard error into `errors`, or into
    // `output` as well when `errors` is empty.
    pid_t spawn(std::vector<std::string> words, const fs::path& output,
                const fs::path& errors = {}) {
        testsupport::ChildSetup setup;
        setup.environment = environmentList();
        setup.outputFile = output.string();
        setup.errorFile = errors.string();
        setup.errorsWithOutput = errors.empty();
        setup.searchPath = true;
        return testsupport::startChild(words, setup);
    }

    void startCard(std::vector<std::string> options = {}) {
        std::vector<std::string> words = {KESTREL_CARDSIM, "--root", root.string()};
        words.insert(words.end(), options.begin(), options.end());
        const fs::path output = outputFile("cardsim");
        cardOutputFile = output;
        const pid_t pid = spawn(words, output);
        ASSERT_GT(pid, 0);
        background.push_back(pid);
        cardPid = pid;
        // One that ended stays in `background`, which reaps it.
        ASSERT_TRUE(testsupport::waitForCardSimulator(root, pid, kCardStartLimit))
            << "the card simulator did not come up\n"
            << readFile(output);
    }

    // kestrel with `arguments`, bounded by `timeout` so that a hang fails the test.
    ProcessRun kestrel(std::vector<std::string> arguments, const char* limit = "60") {
        return program(kestrelProgram.string(), std::move(arguments), limit);
    }

    // Any program with `arguments`, bounded by `timeout`.
    ProcessRun program(const std::string& path, std::vector<std::string> arguments,
                       const char* limit = "60") {
        std::vector<std::string> words = {"timeout", limit, path};
        words.insert(words.end(), arguments.begin(), arguments.end());
        const std::string name = fs::path(path).filename().string();
        const fs::path output = outputFile(name, ".out.txt");
        const fs::path errors = outputFile(name, ".err.txt");
        const pid_t pid = spawn(words, output, errors);
        ProcessRun run;
        if (pid <= 0)
            return run;
        int status = 0;
        waitpid(pid, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.standardOutput = readFile(output);
        run.standardError = readFile(errors);
        run.output = run.standardOutput + run.standardError;
        return run;
    }

    // The output of the program started last by startKestrel: its summary line and, in
    // sanitizer builds, the reports that end it with the sanitizer's exit code.
    std::string startedOutput() const { return readFile(startedOutputFile); }
    // What the card simulator started last printed.
    std::string cardOutput() const { return readFile(cardOutputFile); }

    pid_t startKestrel(std::vector<std::string> arguments) {
        std::vector<std::string> words = {KESTREL_BINARY};
        words.insert(words.end(), arguments.begin(), arguments.end());
        startedOutputFile = outputFile("kestrel");
        const pid_t pid = spawn(words, startedOutputFile);
        background.push_back(pid);
        return pid;
    }

    // Stops the card started last: it leaves the machine as if unplugged.
    void unplugCard() {
        if (cardPid <= 0)
            return;
        kill(cardPid, SIGTERM);
        waitpid(cardPid, nullptr, 0);
        background.erase(std::remove(background.begin(), background.end(), cardPid),
                         background.end());
        cardPid = -1;
    }

    // Waits until the log holds `text`; false after `limitMs` of real time without it.
    bool waitForLog(const std::string& text, int limitMs = 30000) {
        return waitUntil([&] { return log().find(text) != std::string::npos; },
                         std::chrono::milliseconds(limitMs));
    }

    // Waits for a process of startKestrel; its exit code, -1 when a signal ended it, or -2 when
    // it was still running after `limit` (it is then killed).
    int waitForExit(pid_t pid, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                forget(pid);
                return -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        forget(pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void forget(pid_t pid) {
        background.erase(std::remove(background.begin(), background.end(), pid), background.end());
    }

    std::string log() { return readFile(root / "sysroot/var/log" / kLogName); }
    std::string codeFile() { return readFile(root / "out/code.txt"); }
    std::string codePath() { return (root / "out/code.txt").string(); }
    bool registryWritten() { return fs::exists(root / "sysroot/var/lib/kestrel/registry.txt"); }

    fs::path root;
    // The kestrel that kestrel() runs: the build's, or a copy placed beside a package.
    fs::path kestrelProgram = KESTREL_BINARY;
    std::map<std::string, std::string> environment;
    // Variables of the test's own environment that the programs do not get.
    std::vector<std::string> unsetVariables;
    std::vector<pid_t> background;
    pid_t cardPid = -1;
    fs::path cardOutputFile;
    int outputs = 0;
    std::vector<fs::path> outputFiles;
    fs::path startedOutputFile;
};

} // namespace kestrel_binary
