#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <sys/wait.h>

namespace {

std::string temporaryFolder() {
    std::random_device random;
    const auto path = std::filesystem::temp_directory_path() /
                      ("kestrel-cardsim-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path);
    return path.string();
}

std::string line(std::FILE* stream) {
    char buffer[512] = {};
    if (std::fgets(buffer, sizeof buffer, stream) == nullptr)
        return std::string();
    std::string text = buffer;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

class CardsimProgram : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(root, error);
    }
    std::string root = temporaryFolder();
};

TEST_F(CardsimProgram, PrintsItsPortsAndStopsCleanlyOnTermination) {
    // The simulated machine comes from --root, or else from KESTREL_SIM_ROOT.
    const std::string withOption = "exec " KESTREL_CARDSIM_PATH " --root " + root;
    const std::string withVariable = "KESTREL_SIM_ROOT=" + root + " exec " KESTREL_CARDSIM_PATH;
    for (const char* signal : {"TERM", "INT"}) {
        const std::string command = "echo $$; " +
                                    (std::string(signal) == "TERM" ? withOption : withVariable) +
                                    " --name program";
        testsupport::PipedChild program = testsupport::startPipedChild({"/bin/sh", "-c", command});
        ASSERT_NE(program.output, nullptr);
        std::FILE* child = program.output;
        const std::string pid = line(child);
        const std::string application = line(child);
        const std::string diagnostic = line(child);
        EXPECT_EQ(application.rfind("application port: /dev/pts/", 0), 0u) << application;
        EXPECT_EQ(diagnostic.rfind("diagnostic port: /dev/pts/", 0), 0u) << diagnostic;
        EXPECT_TRUE(std::filesystem::exists(application.substr(application.find("/dev/"))));
        EXPECT_TRUE(std::filesystem::exists(root + "/devices/program.json"));
        ASSERT_EQ(std::system(("kill -" + std::string(signal) + " " + pid).c_str()), 0);
        EXPECT_EQ(line(child), "stopped");
        EXPECT_EQ(testsupport::finishPipedChild(program), 0) << signal;
        EXPECT_FALSE(std::filesystem::exists(root + "/devices/program.json")) << signal;
    }
}

TEST_F(CardsimProgram, RefusesBadOptions) {
    const std::string program = KESTREL_CARDSIM_PATH;
    auto exitCode = [](const std::string& command) {
        // An option taken by mistake would start the card and run until stopped.
        const int status = std::system(("timeout 20 " + command + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(exitCode("env -u KESTREL_SIM_ROOT " + program), 2) << "a machine is required";
    EXPECT_EQ(exitCode(program + " --root " + root + " --bogus"), 2);
    EXPECT_EQ(exitCode(program + " --root " + root + " --start-mode 7"), 2);
    EXPECT_EQ(exitCode(program + " --root " + root + " --split x"), 2);
    EXPECT_EQ(exitCode(program + " --root " + root + " --stray-byte-at-block x"), 2);
    EXPECT_EQ(exitCode(program + " --root " + root + " --noise-at-block"), 2);
    // A sign or a number past 64 bits is refused, not wrapped into a huge or small delay.
    EXPECT_EQ(exitCode(program + " --root " + root + " --mode-delay -1"), 2);
    EXPECT_EQ(exitCode(program + " --root " + root + " --come-back-delay -5"), 2);
    EXPECT_EQ(exitCode(program + " --root " + root + " --leave-delay 18446744073709551616"), 2);
    EXPECT_EQ(exitCode(program + " --root " + root + " --leave-delay ' 5'"), 2);
    EXPECT_EQ(exitCode(program + " --root " + root + " --profile nothing"), 1);
    EXPECT_EQ(exitCode(program + " --help"), 0);
}

} // namespace
