#pragma once

// The one launcher of the programs that tests and benchmarks start: the updater, the card
// simulator, a private bus and its mocks, short commands whose output a test reads.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

constexpr const char* kSetpriv = "/usr/bin/setpriv";

// How a child starts. By default it has the test's environment and standard streams.
struct ChildSetup {
    // The child's whole environment ("NAME=value"); empty for the test's own.
    std::vector<std::string> environment;
    // Standard input from this file.
    std::string inputFile;
    // Standard output into this file, made anew, or onto this descriptor (a pipe's end).
    std::string outputFile;
    int outputDescriptor = -1;
    // A descriptor the child does not keep (the test's end of the pipe).
    int closeInChild = -1;
    // Standard error into this file, made anew, or into the standard output.
    std::string errorFile;
    bool errorsWithOutput = false;
    // The program is looked up in PATH.
    bool searchPath = false;
    // The child is killed as well when the test process ends without ending it (a crash, an
    // abort), through setpriv: a bus or mock left behind would hold ctest's output pipe open
    // until the test's time-out. The kernel sends that signal when the thread that started the
    // child ends, so such children start on the test's main thread.
    bool killWithTest = false;
};

// The test's environment with `extra` before it: a variable in `extra` wins.
inline std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> variables(extra);
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.push_back(*variable);
    return variables;
}

// Starts `arguments`; the child's id, or -1 when it could not start.
inline pid_t startChild(const std::vector<std::string>& arguments, const ChildSetup& setup = {}) {
    std::vector<std::string> words;
    if (setup.killWithTest)
        words = {kSetpriv, "--pdeathsig", "KILL", "--"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = setup.environment;
    char** envp = environ;
    std::vector<char*> envpList;
    if (!variables.empty()) {
        for (std::string& variable : variables)
            envpList.push_back(variable.data());
        envpList.push_back(nullptr);
        envp = envpList.data();
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!setup.inputFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, setup.inputFile.c_str(), O_RDONLY,
                                         0);
    if (!setup.outputFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, setup.outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    else if (setup.outputDescriptor >= 0)
        posix_spawn_file_actions_adddup2(&actions, setup.outputDescriptor, STDOUT_FILENO);
    if (setup.closeInChild >= 0)
        posix_spawn_file_actions_addclose(&actions, setup.closeInChild);
    if (!setup.errorFile.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, setup.errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    else if (setup.errorsWithOutput)
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const bool searchPath = setup.searchPath && !setup.killWithTest;
    const int error = searchPath ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp)
                                 : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

// Reaps the child `pid`; its exit status, or -1 when a signal ended it.
inline int waitForChild(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child whose standard output the test reads from `output`.
struct PipedChild {
    pid_t pid = -1;
    std::FILE* output = nullptr;
};

// Starts `arguments` with its standard output on a pipe; `pid` is -1 when it could not start.
inline PipedChild startPipedChild(const std::vector<std::string>& arguments,
                                  ChildSetup setup = {}) {
    int ends[2];
    if (pipe(ends) != 0)
        return {};
    setup.outputDescriptor = ends[1];
    setup.closeInChild = ends[0];
    PipedChild child;
    child.pid = startChild(arguments, setup);
    close(ends[1]);
    child.output = fdopen(ends[0], "r");
    return child;
}

// Closes the pipe and reaps the child; its exit status, or -1 when a signal ended it.
inline int finishPipedChild(PipedChild& child) {
    if (child.output != nullptr)
        std::fclose(child.output);
    child.output = nullptr;
    const int status = child.pid > 0 ? waitForChild(child.pid) : -1;
    child.pid = -1;
    return status;
}

} // namespace testsupport
