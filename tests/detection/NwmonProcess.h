#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace detectiontest {

// A program of the build: KESTREL_BUILD_DIR/RELATIVE, or, when the tests are run by hand,
// relative to the build folder that holds this test program (BUILD/tests/detection).
inline std::string buildProgram(const std::string& relative) {
    if (const char* build = std::getenv("KESTREL_BUILD_DIR"))
        return std::string(build) + "/" + relative;
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, length > 0 ? static_cast<size_t>(length) : 0);
    return path.substr(0, path.rfind("/tests/")) + "/" + relative;
}

inline std::string nwmonPath() {
    return buildProgram("detection/nwmon/kestrel-nwmon");
}

// A kestrel-nwmon process on the test's namespace, driven through its standard input and
// read through its standard output.
class Nwmon {
public:
    Nwmon(const std::string& objects, std::vector<std::string> arguments = {}) {
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        posix_spawn_file_actions_adddup2(&actions, output[1], 2);
        const std::string program = nwmonPath();
        std::vector<std::string> words{program, "--namespace", objects};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment{"KESTREL_TIME_SCALE=0.01"};
        for (char** variable = environ; *variable != nullptr; ++variable)
            if (std::strncmp(*variable, "KESTREL_TIME_SCALE=", 19) != 0 &&
                std::strncmp(*variable, "KESTREL_SIM_ROOT=", 17) != 0)
                environment.push_back(*variable);
        std::vector<char*> envp;
        for (auto& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        input_ = input[1];
        output_ = output[0];
        reader_ = std::thread([this] { read(); });
    }

    ~Nwmon() {
        if (pid_ > 0)
            stop(SIGKILL);
        close(input_);
        reader_.join();
        close(output_);
    }

    bool started() const { return pid_ > 0; }

    void send(const std::string& command) {
        const std::string line = command + "\n";
        if (write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            ADD_FAILURE() << "cannot write to kestrel-nwmon";
    }

    // Waits up to `realMs` for a line containing `part`, searching from line `from` on;
    // answers the index after the line, or 0 when none came.
    size_t waitFor(const std::string& part, size_t from = 0, int realMs = 20000) {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t found = 0;
        changed_.wait_for(lock, std::chrono::milliseconds(realMs), [&] {
            for (size_t i = from; i < lines_.size(); ++i)
                if (lines_[i].find(part) != std::string::npos) {
                    found = i + 1;
                    return true;
                }
            return closed_;
        });
        return found;
    }

    size_t lineCount() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_.size();
    }

    std::string dump() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::string text;
        for (const auto& line : lines_)
            text += line + "\n";
        return text;
    }

    // Sends a signal and waits for the end; answers the wait status.
    int stop(int signal) {
        if (pid_ <= 0)
            return -1;
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    void read() {
        std::string pending;
        char buffer[4096];
        ssize_t length;
        while ((length = ::read(output_, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<size_t>(length));
            size_t end;
            std::lock_guard<std::mutex> guard(mutex_);
            while ((end = pending.find('\n')) != std::string::npos) {
                lines_.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool closed_ = false;
};

} // namespace detectiontest
