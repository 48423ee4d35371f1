#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/RegistryRecord.h"
#include "tests/support/SimulatedMachine.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

// The build tree: from ctest's environment, else two folders above this test program.
// The card state of a card on the embedded package's firmware (3.19.0 of Mar 16 2010), and of
// one a release behind it (the simulator's default).
inline const char* kCurrentCard =
    R"({"revision": "3.19.0", "date": "Mar 16 2010", "time": "15:03:03", "softwareVersion": "2.1.0"})";
inline const char* kOlderCard =
    R"({"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00", "softwareVersion": "2.1.0"})";

inline fs::path buildDirectory() {
    if (const char* dir = std::getenv("KESTREL_BUILD_DIR"))
        return dir;
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path();
}

inline fs::path headlessProgram() {
    return buildDirectory() / "headless/kestrel-headless";
}

inline fs::path simulatorProgram() {
    return buildDirectory() / "sim/cardsim/kestrel-cardsim";
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    const fs::path temporary = path.string() + ".tmp";
    std::ofstream(temporary) << text;
    fs::rename(temporary, path);
}

// A child process with its standard output on a pipe.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0)
            return;
        testsupport::ChildSetup setup;
        setup.environment = testsupport::environmentWith(environment);
        setup.outputDescriptor = pipeEnds[1];
        setup.closeInChild = pipeEnds[0];
        pid = testsupport::startChild(arguments, setup);
        close(pipeEnds[1]);
        output = fdopen(pipeEnds[0], "r");
    }
    ~Child() {
        stop();
        if (output != nullptr)
            std::fclose(output);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid > 0 && output != nullptr; }

    // The next line of output without its line feed; false at the end.
    bool readLine(std::string& line) {
        char* buffer = nullptr;
        size_t capacity = 0;
        const ssize_t length = getline(&buffer, &capacity, output);
        if (length < 0) {
            std::free(buffer);
            return false;
        }
        line.assign(buffer, static_cast<size_t>(length));
        std::free(buffer);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        return true;
    }

    // Waits for the end; the exit status, or -1 when it was killed by a signal.
    int wait() {
        if (pid <= 0)
            return -1;
        const int status = testsupport::waitForChild(pid);
        pid = -1;
        return status;
    }

    void stop() {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        wait();
    }

    pid_t id() const { return pid; }

private:
    pid_t pid = -1;
    std::FILE* output = nullptr;
};

// Kills a child that runs longer than its limit, so a hanging run fails instead of blocking.
class Watchdog {
public:
    Watchdog(pid_t pid, std::chrono::seconds limit)
        : thread([this, pid, limit] {
              std::unique_lock<std::mutex> lock(mutex);
              if (!condition.wait_for(lock, limit, [this] { return done; })) {
                  fired = true;
                  kill(pid, SIGKILL);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            done = true;
        }
        condition.notify_all();
        thread.join();
    }
    bool expired() {
        std::lock_guard<std::mutex> guard(mutex);
        return fired;
    }

private:
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
    bool fired = false;
    std::thread thread;
};

struct RunResult {
    std::vector<std::string> lines;
    int exitStatus = -1;
    bool timedOut = false;

    int count(const std::string& line) const {
        int found = 0;
        for (const auto& each : lines)
            found += each == line ? 1 : 0;
        return found;
    }
    bool has(const std::string& line) const { return count(line) > 0; }
    // The value after "prefix " of the last line that starts so, or "" when none does.
    std::string value(const std::string& prefix) const {
        std::string found;
        for (const auto& each : lines)
            if (each.rfind(prefix + " ", 0) == 0)
                found = each.substr(prefix.size() + 1);
        return found;
    }
    std::string text() const {
        std::string all;
        for (const auto& each : lines)
            all += each + "\n";
        return all;
    }
};

// A simulated machine in a temporary folder with "CmxService" running, one simulated card and
// the headless updater, all at a small time scale.
class EndToEndTest : public ::testing::Test {
public:
    // The AT engine waits 16 reads for an answer: at 0.01 that is about 100 ms of real time, less
    // than a loaded machine may keep the card simulator from running.
    static constexpr const char* kTimeScale = "0.05";
    static constexpr const char* kRegistryKey = testsupport::kQt0880RecordKey;

protected:
    void SetUp() override {
        root = testsupport::makeSimulatedMachine("/tmp/kestrel-e2e-XXXXXX");
        ASSERT_FALSE(root.empty());
    }
    void TearDown() override {
        simulator.reset();
        if (HasFailure())
            printLogs();
        std::error_code error;
        fs::remove_all(root, error);
    }

    // What the updater logged, for a failure to explain itself.
    void printLogs() const {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(root / "sysroot/var/log", error))
            std::cout << "--- " << entry.path().filename().string() << "\n"
                      << readFile(entry.path()) << "\n";
    }

    std::vector<std::string> environment() const {
        return {"KESTREL_SIM_ROOT=" + root.string(),
                std::string("KESTREL_TIME_SCALE=") + kTimeScale};
    }

    // A card whose firmware state file holds `state` (JSON members of the simulator's state);
    // by default the embedded package's own firmware, so nothing needs flashing.
    void startCard(const std::vector<std::string>& options = {},
                   const std::string& state = kCurrentCard) {
        std::vector<std::string> arguments{simulatorProgram().string(), "--root", root.string()};
        if (!state.empty()) {
            writeFile(root / "card-state.json", state);
            arguments.insert(arguments.end(), {"--state", (root / "card-state.json").string()});
        }
        arguments.insert(arguments.end(), options.begin(), options.end());
        simulator = std::make_unique<Child>(arguments, environment());
        ASSERT_TRUE(simulator->started());
    }

    // Runs the updater to its end; `onLine` sees each line as it comes.
    RunResult runUpdater(const std::vector<std::string>& options = {},
                         const std::function<void(const std::string&)>& onLine = {},
                         const fs::path& program = headlessProgram()) {
        // Logging on: a failed run prints the log.
        std::vector<std::string> arguments{program.string(), "-l"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        RunResult result;
        Child updater(arguments, environment());
        EXPECT_TRUE(updater.started());
        if (!updater.started())
            return result;
        Watchdog watchdog(updater.id(), std::chrono::seconds(90));
        std::string line;
        while (updater.readLine(line)) {
            result.lines.push_back(line);
            if (onLine)
                onLine(line);
        }
        result.exitStatus = updater.wait();
        result.timedOut = watchdog.expired();
        return result;
    }

    std::string services() const { return readFile(root / "services.json"); }
    std::string registry() const { return readFile(root / "sysroot/var/lib/kestrel/registry.txt"); }
    std::string cardState() const { return readFile(root / "card-state.json"); }

    fs::path root;
    std::unique_ptr<Child> simulator;
};

} // namespace e2e
