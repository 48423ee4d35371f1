#include "tests/support/NwLibraryTestSupport.h"
#include "NwmonProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

namespace {

using namespace detectiontest;

// kestrel-cardsim publishing a QT0880 into the machine folder.
class CardSimulator {
public:
    explicit CardSimulator(const std::string& root) {
        const std::string program = buildProgram("sim/cardsim/kestrel-cardsim");
        std::vector<std::string> words{program, "--root", root};
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment{"KESTREL_TIME_SCALE=0.01"};
        for (char** variable = environ; *variable != nullptr; ++variable)
            if (std::strncmp(*variable, "KESTREL_TIME_SCALE=", 19) != 0)
                environment.push_back(*variable);
        std::vector<char*> envp;
        for (auto& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
    }
    ~CardSimulator() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

class NwmonTool : public NwSession {};

TEST_F(NwmonTool, PrintsTheSimulatedCardAndItsRemoval) {
    const std::string root = folder + "/machine";
    CardSimulator card(root);
    ASSERT_TRUE(card.started());
    Nwmon monitor(folder + "/objects", {"--root", root});
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(monitor.waitFor("ready")) << monitor.dump();
    // The card may come up before or after the monitor.
    ASSERT_TRUE(monitor.waitFor("state=started model=0x1c00 family=4")) << monitor.dump();
    EXPECT_TRUE(monitor.waitFor("instance=[USB\\VID_1234&PID_5678\\0001] vid=1234 pid=5678"));
    EXPECT_TRUE(monitor.waitFor("port=[\\\\.\\pts/"));
    monitor.send("info");
    EXPECT_TRUE(monitor.waitFor("info state=started model=0x1c00")) << monitor.dump();

    const size_t mark = monitor.lineCount();
    for (const auto& entry : std::filesystem::directory_iterator(root + "/devices"))
        std::filesystem::remove(entry.path());
    EXPECT_TRUE(monitor.waitFor("notification reason=4 card=none", mark)) << monitor.dump();
    EXPECT_EQ(monitor.stop(SIGTERM), 0); // interrupted: it ends cleanly
    EXPECT_TRUE(monitor.waitFor("terminate: 0", mark));
}

} // namespace
