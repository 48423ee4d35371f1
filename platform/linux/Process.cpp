#include "platform/Process.h"

#include "platform/SystemPaths.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

extern char** environ;

namespace platform {
namespace {

constexpr mode_t kFileCreationMask = 022;

// pkexec's exit codes for a dismissed prompt and for a refusal.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorised = 127;

const char* environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

} // namespace

void setProcessDefaults() {
    umask(kFileCreationMask);
    signal(SIGPIPE, SIG_IGN);
}

bool isAdministrator() {
    if (simulatedMachineRoot()) {
        const char* value = environmentValue("KESTREL_ADMINISTRATOR");
        return value == nullptr || std::string(value) != "0";
    }
    return geteuid() == 0;
}

bool displayAvailable() {
    return environmentValue("DISPLAY") != nullptr || environmentValue("WAYLAND_DISPLAY") != nullptr;
}

namespace {

constexpr const char* kRootOnTheDisplay = "SI:localuser:root";

// Runs a short helper with its output discarded; true when it ended with 0.
bool runQuietly(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

std::string grantDisplayToAdministrator(bool& granted) {
    granted = false;
    if (environmentValue("WAYLAND_DISPLAY") == nullptr || environmentValue("DISPLAY") == nullptr)
        return "";
    granted = runQuietly({"xhost", std::string("+") + kRootOnTheDisplay});
    if (granted)
        return "";
    return "under Wayland the window of Kestrel running as root opens only when root may use "
           "the display, and \"xhost +" +
           std::string(kRootOnTheDisplay) +
           "\" failed (is xhost installed?); -q runs without a window";
}

void revokeDisplayFromAdministrator() {
    runQuietly({"xhost", std::string("-") + kRootOnTheDisplay});
}

std::vector<std::string> elevationCommand() {
    std::vector<std::string> words;
    if (const char* replacement = environmentValue("KESTREL_ELEVATION_COMMAND")) {
        std::istringstream stream(replacement);
        for (std::string word; stream >> word;)
            words.push_back(word);
    }
    if (words.empty())
        words.push_back("pkexec");
    return words;
}

ElevatedRun runElevated(const std::string& program, const std::vector<std::string>& arguments) {
    // The program itself follows the elevation command, so the prompt names it and a policy can
    // allow it alone; pkexec hands the display on to programs whose policy allows windows.
    std::vector<std::string> words = elevationCommand();
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());

    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    ElevatedRun run;
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        run.error = ProcessError::kFileNotFound;
        return run;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        run.error = ProcessError::kWaitFailed;
        return run;
    }
    if (WIFSIGNALED(status)) {
        run.exitCode = 128 + WTERMSIG(status);
        return run;
    }
    run.exitCode = WEXITSTATUS(status);
    if (run.exitCode == kPkexecDismissed)
        run.error = ProcessError::kCancelled;
    else if (run.exitCode == kPkexecNotAuthorised)
        run.error = ProcessError::kAccessDenied;
    return run;
}

std::string systemErrorText(uint32_t error) {
    switch (error) {
    case ProcessError::kFileNotFound:
        return "The system cannot find the file specified.";
    case ProcessError::kAccessDenied:
        return "Access is denied.";
    case ProcessError::kCancelled:
        return "The operation was canceled by the user.";
    case ProcessError::kWaitFailed:
        return "The elevated process could not be waited for.";
    default:
        return "System error " + std::to_string(error) + ".";
    }
}

} // namespace platform
