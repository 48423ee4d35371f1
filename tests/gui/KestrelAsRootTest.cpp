#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace kestrel_binary;

constexpr const char* kDownloadStarted = "Send At Command: AT%LOAD succeed";

class KestrelAsRoot : public KestrelBinary {
protected:
    bool serviceRunning() {
        return readFile(root / "services.json").find("running") != std::string::npos;
    }
    fs::path logPath() { return root / "sysroot/var/log" / kLogName; }
    size_t count(const std::string& text, const std::string& part) {
        size_t found = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++found;
        return found;
    }
    // An update that stays in its download for a while.
    pid_t startSlowUpdate() {
        environment["KESTREL_TIME_SCALE"] = "0.1";
        startCard({"--link-rate", "100000"});
        const pid_t pid = startKestrel({"-q", "-l", "-p", codePath()});
        EXPECT_TRUE(waitForLog(kDownloadStarted)) << log();
        return pid;
    }
};

TEST_F(KestrelAsRoot, PlainUsersProcessCreatesNothingAndTheElevatedOneWritesTheResult) {
    startCard({"--wrong-lm-code"});
    // Stands in for the prompt; notes whether the exit-code file existed before the elevated
    // run began.
    const fs::path elevate = root / "elevate.sh";
    std::ofstream(elevate) << "#!/bin/sh\n"
                              "[ -e \""
                           << codePath() << "\" ] && echo created > \""
                           << (root / "seen.txt").string()
                           << "\"\n"
                              "exec env KESTREL_ADMINISTRATOR=1 \"$@\"\n";
    fs::permissions(elevate, fs::perms::owner_all);
    environment["KESTREL_ADMINISTRATOR"] = "0";
    environment["KESTREL_ELEVATION_COMMAND"] = elevate.string();
    const ProcessRun run = kestrel({"-q", "-l", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_FALSE(fs::exists(root / "seen.txt")) << "the plain user's process made the file";
    EXPECT_EQ(codeFile(), "258\n");
    EXPECT_EQ(run.output.find("log4cplus:ERROR"), std::string::npos) << run.output;
    EXPECT_EQ(count(log(), "Logging turned on"), 1u) << "only the elevated process logs";
}

TEST_F(KestrelAsRoot, ElevationCommandMissingNamesItAndHowToRunAsRoot) {
    environment["KESTREL_ADMINISTRATOR"] = "0";
    environment["KESTREL_ELEVATION_COMMAND"] = (root / "no-such-pkexec").string();
    const ProcessRun run = kestrel({"-q", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("no-such-pkexec"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("sudo kestrel"), std::string::npos) << run.output;
    EXPECT_EQ(codeFile(), "1223\n");
}

TEST_F(KestrelAsRoot, SecondInstanceSaysSoAndLeavesTheRunningUpdatesLogAlone) {
    const pid_t first = startSlowUpdate();
    ASSERT_GT(first, 0);
    const std::string before = log();
    const ProcessRun second = kestrel({"-q", "-l", "-p", (root / "second.code").string()}, "20");
    EXPECT_EQ(second.exitCode, 255) << second.output;
    EXPECT_NE(second.standardError.find("kestrel: another Kestrel is running"), std::string::npos)
        << second.output;
    EXPECT_FALSE(fs::exists(root / "second.code")) << "the refused instance wrote nothing";
    EXPECT_EQ(waitForExit(first, std::chrono::seconds(60)), 0) << log();
    const std::string after = log();
    EXPECT_EQ(after.compare(0, before.size(), before), 0) << "the running update's log was cut";
    EXPECT_EQ(count(after, "Logging turned on"), 1u);
    EXPECT_EQ(codeFile(), "0\n");
}

TEST_F(KestrelAsRoot, RetryKeepsTheFailedRunsLogAndALinkAtTheLogIsNotFollowed) {
    startCard({"--wrong-lm-code"});
    EXPECT_EQ(kestrel({"-q", "-l"}).exitCode, 2);
    EXPECT_EQ(kestrel({"-q", "-l"}).exitCode, 2);
    EXPECT_EQ(count(log(), "Logging turned on"), 2u) << "the second run appends";

    const fs::path target = root / "system.log";
    std::ofstream(target) << "system\n";
    fs::remove(logPath());
    fs::create_symlink(target, logPath());
    const ProcessRun run = kestrel({"-q", "-l"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(readFile(target), "system\n");
    EXPECT_NE(run.standardError.find("kestrel: cannot write the log"), std::string::npos)
        << run.output;
}

TEST_F(KestrelAsRoot, RuntimeFolderOthersCanWriteIsRefusedBeforeTheServiceIsTouched) {
    const fs::path runtime = root / "sysroot/run/kestrel";
    fs::create_directories(runtime);
    ASSERT_EQ(chmod(runtime.c_str(), 0777), 0);
    startCard();
    const ProcessRun run = kestrel({"-q", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 255) << run.output;
    EXPECT_NE(run.standardError.find("cannot hold the single-instance lock"), std::string::npos)
        << run.output;
    EXPECT_TRUE(serviceRunning());
    EXPECT_FALSE(fs::exists(codePath()));
    ASSERT_EQ(chmod(runtime.c_str(), 0755), 0);
    EXPECT_EQ(kestrel({"-q", "-p", codePath()}).exitCode, 0);
}

TEST_F(KestrelAsRoot, SighupAndSigquitEndTheUpdateLikeSigterm) {
    for (const int signal : {SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(signal);
        // The log is appended to: each run waits for its own lines.
        std::error_code ignored;
        fs::remove(logPath(), ignored);
        const pid_t pid = startSlowUpdate();
        ASSERT_GT(pid, 0);
        kill(pid, signal);
        EXPECT_EQ(waitForExit(pid, std::chrono::seconds(30)), 1) << log() << startedOutput();
        EXPECT_EQ(codeFile(), "1223\n");
        EXPECT_TRUE(serviceRunning()) << "the service is started again";
        EXPECT_NE(log().find("Interrupted by signal " + std::to_string(signal)), std::string::npos);
        unplugCard();
        fs::remove(root / "devices/cardsim.json", ignored);
    }
}

TEST_F(KestrelAsRoot, SecondSignalStartsTheServiceAndWritesTheResultWithinTwoSeconds) {
    environment["KESTREL_TIME_SCALE"] = "0.1";
    // A card that answers nothing in loader mode keeps the update inside a block wait.
    startCard({"--silent-at-block", "2"});
    const pid_t pid = startKestrel({"-q", "-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog(kDownloadStarted)) << log();
    EXPECT_FALSE(serviceRunning());
    kill(pid, SIGINT);
    ASSERT_TRUE(waitForLog("Interrupted by signal 2"));
    kill(pid, SIGINT);
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(2)), 1);
    EXPECT_EQ(codeFile(), "1223\n");
    EXPECT_TRUE(serviceRunning());
}

TEST_F(KestrelAsRoot, MachineMayNotSleepWhileTheCardIsFlashedAndMayAgainAfter) {
    const pid_t pid = startSlowUpdate();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(readFile(root / "sleep-inhibitor"),
              "sleep:shutdown\tKestrel\tUpdating the card's firmware\tblock\n");
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(60)), 0) << log();
    EXPECT_FALSE(fs::exists(root / "sleep-inhibitor"));
    const std::string text = log();
    const size_t taken = text.find("Sleep and shutdown inhibited while the card is flashed");
    const size_t reset = text.find("Dispatch event 'sigReset'");
    const size_t released = text.find("Sleep and shutdown allowed again");
    ASSERT_NE(taken, std::string::npos) << text;
    ASSERT_NE(released, std::string::npos);
    EXPECT_LT(taken, text.find(kDownloadStarted)) << "taken before the card enters its loader";
    EXPECT_GT(released, reset) << "held until the card is back after its reset";
}

TEST_F(KestrelAsRoot, UnderWaylandRootMayUseTheDisplayForTheElevatedRunOnly) {
    // Stand-ins for xhost and the prompt note, in order, what happens to the display.
    const fs::path bin = root / "bin";
    const fs::path record = root / "display.txt";
    fs::create_directories(bin);
    std::ofstream(bin / "xhost") << "#!/bin/sh\necho \"xhost $*\" >> \"" << record.string()
                                 << "\"\n";
    std::ofstream(root / "elevate.sh")
        << "#!/bin/sh\necho elevated >> \"" << record.string() << "\"\n";
    fs::permissions(bin / "xhost", fs::perms::owner_all);
    fs::permissions(root / "elevate.sh", fs::perms::owner_all);
    environment["KESTREL_ADMINISTRATOR"] = "0";
    environment["KESTREL_ELEVATION_COMMAND"] = (root / "elevate.sh").string();
    // A Wayland session's variables beside the tests' own X display, which the toolkit uses.
    environment["WAYLAND_DISPLAY"] = "wayland-kestrel-test";
    environment["GDK_BACKEND"] = "x11";
    // Only the stand-ins: a machine may have the real xhost (the package recommends it).
    environment["PATH"] = bin.string();
    const ProcessRun run = kestrel({"-u"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(readFile(record), "xhost +SI:localuser:root\nelevated\nxhost -SI:localuser:root\n");

    // Without xhost the user learns why no window will open, and what works instead.
    fs::remove(bin / "xhost");
    fs::remove(record);
    const ProcessRun without = kestrel({"-u"});
    EXPECT_NE(without.standardError.find("\"xhost +SI:localuser:root\" failed"), std::string::npos)
        << without.output;
    EXPECT_NE(without.standardError.find("-q runs without a window"), std::string::npos);
    EXPECT_EQ(readFile(record), "elevated\n");

    // Without Wayland nothing is granted.
    environment.erase("WAYLAND_DISPLAY");
    fs::remove(record);
    EXPECT_EQ(kestrel({"-u"}).exitCode, 0);
    EXPECT_EQ(readFile(record), "elevated\n");
}

TEST_F(KestrelAsRoot, LinksAnotherUserPlantedAtTheResultFilesAreReplacedNotFollowed) {
    // A folder every user can write, like /var/tmp, with links another user planted there.
    const fs::path shared = root / "shared";
    fs::create_directories(shared);
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const fs::path victim = root / "root-only";
    std::ofstream(victim) << "secret\n";
    const fs::path code = shared / "kestrel.code";
    const fs::path json = shared / "kestrel.json";
    const pid_t planter = fork();
    if (planter == 0) {
        const bool planted = setgid(65531) == 0 && setuid(65531) == 0 &&
                             symlink(victim.c_str(), code.c_str()) == 0 &&
                             symlink(victim.c_str(), json.c_str()) == 0;
        _exit(planted ? 0 : 1);
    }
    int status = 0;
    waitpid(planter, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    startCard({"--wrong-lm-code"});
    const ProcessRun run = kestrel({"-q", "-p", code.string(), "--json", json.string()});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(readFile(victim), "secret\n");
    EXPECT_FALSE(fs::is_symlink(code));
    EXPECT_FALSE(fs::is_symlink(json));
    EXPECT_EQ(readFile(code), "258\n");
    EXPECT_NE(readFile(json).find("\"result\":258"), std::string::npos) << readFile(json);
    struct stat info {};
    ASSERT_EQ(stat(code.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST_F(KestrelAsRoot, ReaderOfTheJsonThatLeftEarlyDoesNotEndTheRunBeforeItsResult) {
    startCard({"--wrong-lm-code"});
    // The reader is gone long before the result comes: the write fails with EPIPE, no SIGPIPE.
    const ProcessRun run =
        program("/bin/bash", {"-c", "set -o pipefail; \"$0\" -q -p \"$1\" --json - | true",
                              KESTREL_BINARY, codePath()});
    EXPECT_EQ(run.exitCode, 2) << "141 is an end by SIGPIPE\n" << run.output;
    EXPECT_EQ(codeFile(), "258\n");
}

} // namespace
