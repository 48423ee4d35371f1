#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>

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
