#include "platform/Process.h"
#include "platform/ResultFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// Users without an entry in the user database: the other users of the machine.
constexpr uid_t kOtherUser = 65531;
constexpr uid_t kInvokingUser = 65532;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct stat statOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

// Runs `action` in a child process as `uid`; true when it succeeded.
bool asUser(uid_t uid, const std::function<bool()>& action) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(uid) != 0 || setuid(uid) != 0)
            _exit(2);
        _exit(action() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class ResultFile : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "planting files as other users needs root";
        char pattern[] = "/tmp/kestrel-result-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        chmod(root.c_str(), 0755);
        // A folder every user can write, like /var/tmp.
        shared = root / "shared";
        fs::create_directory(shared);
        chmod(shared.c_str(), 01777);
        victim = root / "root-only";
        std::ofstream(victim) << "secret\n";
        chmod(victim.c_str(), 0600);
        unsetenv("PKEXEC_UID");
        unsetenv("SUDO_UID");
    }
    void TearDown() override {
        unsetenv("PKEXEC_UID");
        unsetenv("SUDO_UID");
        std::error_code ignored;
        if (!root.empty())
            fs::remove_all(root, ignored);
    }

    fs::path root;
    fs::path shared;
    fs::path victim;
};

TEST_F(ResultFile, LinkAnotherUserPlantedIsReplacedAndItsTargetKept) {
    const fs::path code = shared / "kestrel.code";
    ASSERT_TRUE(asUser(kOtherUser, [&] { return symlink(victim.c_str(), code.c_str()) == 0; }));
    EXPECT_EQ(platform::writeResultFile(code.string(), "259\n"), "");
    EXPECT_EQ(readFile(victim), "secret\n") << "the link's target is untouched";
    const struct stat info = statOf(code);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(readFile(code), "259\n");
}

TEST_F(ResultFile, WritableFileAnotherUserCreatedIsReplacedAndCannotBeForgedAfter) {
    const fs::path code = shared / "kestrel.code";
    ASSERT_TRUE(asUser(kOtherUser, [&] {
        const int fd = open(code.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        return fd >= 0 && fchmod(fd, 0666) == 0 && write(fd, "0\n", 2) == 2 && close(fd) == 0;
    }));
    const ino_t planted = statOf(code).st_ino;
    EXPECT_EQ(platform::writeResultFile(code.string(), "284\n"), "");
    const struct stat info = statOf(code);
    EXPECT_NE(info.st_ino, planted) << "a new file, not the planted one";
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_FALSE(asUser(kOtherUser, [&] { return open(code.c_str(), O_WRONLY) >= 0; }))
        << "the other user can no longer rewrite the result";
    EXPECT_EQ(readFile(code), "284\n");
}

TEST_F(ResultFile, InvokingUsersOwnFolderGetsTheFileAsTheirsOtherFoldersKeepItRoots) {
    const fs::path own = root / "home";
    fs::create_directory(own);
    ASSERT_EQ(chown(own.c_str(), kInvokingUser, kInvokingUser), 0);
    setenv("PKEXEC_UID", std::to_string(kInvokingUser).c_str(), 1);
    EXPECT_EQ(platform::writeResultFile((own / "code").string(), "0\n"), "");
    EXPECT_EQ(statOf(own / "code").st_uid, kInvokingUser);
    EXPECT_EQ(platform::writeResultFile((shared / "code").string(), "0\n"), "");
    EXPECT_EQ(statOf(shared / "code").st_uid, 0u) << "a shared folder is nobody's in particular";

    // sudo names the invoker the same way.
    unsetenv("PKEXEC_UID");
    setenv("SUDO_UID", std::to_string(kInvokingUser).c_str(), 1);
    EXPECT_EQ(platform::writeResultFile((own / "result.json").string(), "{}"), "");
    EXPECT_EQ(statOf(own / "result.json").st_uid, kInvokingUser);
}

TEST_F(ResultFile, LinkToAFolderIsFollowedOnlyWhenRootOrTheInvokerMadeIt) {
    const fs::path target = root / "system";
    fs::create_directory(target);
    ASSERT_TRUE(asUser(kOtherUser,
                       [&] { return symlink(target.c_str(), (shared / "planted").c_str()) == 0; }));
    EXPECT_NE(platform::writeResultFile((shared / "planted/code").string(), "0\n"), "");
    EXPECT_FALSE(fs::exists(target / "code"));

    fs::create_symlink(target, root / "by-root");
    EXPECT_EQ(platform::writeResultFile((root / "by-root/code").string(), "0\n"), "");
    EXPECT_EQ(readFile(target / "code"), "0\n");
}

TEST_F(ResultFile, FolderOrFifoAtTheNameIsRefusedAndLeftAsItWas) {
    fs::create_directory(shared / "folder");
    ASSERT_EQ(mkfifo((shared / "fifo").c_str(), 0666), 0);
    for (const char* name : {"folder", "fifo"}) {
        EXPECT_NE(platform::writeResultFile((shared / name).string(), "0\n"), "") << name;
    }
    EXPECT_TRUE(fs::is_directory(shared / "folder"));
    EXPECT_TRUE(S_ISFIFO(statOf(shared / "fifo").st_mode));
    EXPECT_NE(platform::writeResultFile("", "0\n"), "");
    EXPECT_NE(platform::writeResultFile((shared / "folder").string() + "/", "0\n"), "");
    // Nothing of the failed attempts is left behind.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(shared))
        ++entries;
    EXPECT_EQ(entries, 2u);
}

TEST_F(ResultFile, MissingFoldersAreCreatedWithoutWritesForOthersUnderAnOpenUmask) {
    const mode_t previous = umask(0);
    platform::setProcessDefaults();
    const fs::path code = root / "new/deeper/code";
    EXPECT_EQ(platform::writeResultFile(code.string(), "0\n"), "");
    EXPECT_EQ(statOf(root / "new").st_mode & 07777, 0755u);
    EXPECT_EQ(statOf(root / "new/deeper").st_mode & 07777, 0755u);
    EXPECT_EQ(statOf(code).st_mode & 07777, 0644u);
    // A relative name is taken from the current folder.
    const fs::path before = fs::current_path();
    fs::current_path(root);
    EXPECT_EQ(platform::writeResultFile("relative/code", "1\n"), "");
    fs::current_path(before);
    EXPECT_EQ(readFile(root / "relative/code"), "1\n");
    umask(previous);
}

} // namespace
