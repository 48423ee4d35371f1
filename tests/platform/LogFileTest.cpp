#include "platform/LogFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kLimit = 4096;
constexpr uid_t kOtherUser = 65531;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-logfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        path = root / "kestrel.log";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path root;
    fs::path path;
};

TEST_F(LogFileTest, ASecondWriterAppendsAndNeverTruncatesTheFirstOnesLines) {
    platform::LogFile running(path.string(), kLimit);
    ASSERT_TRUE(running.append("update started\n"));
    {
        platform::LogFile second(path.string(), kLimit);
        ASSERT_TRUE(second.append("second run refused\n"));
    }
    ASSERT_TRUE(running.append("update done\n"));
    EXPECT_EQ(readFile(path), "update started\nsecond run refused\nupdate done\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0022, 0u) << "nobody else can write the log";
}

TEST_F(LogFileTest, LinkOrSecondNameAtTheLogIsRefusedAndItsTargetKept) {
    const fs::path target = root / "auth.log";
    std::ofstream(target) << "system log\n";
    fs::create_symlink(target, path);
    platform::LogFile log(path.string(), kLimit);
    EXPECT_FALSE(log.append("forged\n"));
    EXPECT_NE(log.problem(), "");
    EXPECT_EQ(readFile(target), "system log\n");

    fs::remove(path);
    fs::create_hard_link(target, path);
    platform::LogFile linked(path.string(), kLimit);
    EXPECT_FALSE(linked.append("forged\n"));
    EXPECT_EQ(readFile(target), "system log\n");
}

TEST_F(LogFileTest, FileOfAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    std::ofstream(path) << "theirs\n";
    ASSERT_EQ(chown(path.c_str(), kOtherUser, kOtherUser), 0);
    platform::LogFile log(path.string(), kLimit);
    EXPECT_FALSE(log.append("mine\n"));
    EXPECT_EQ(readFile(path), "theirs\n");
}

TEST_F(LogFileTest, GrownLogBecomesThePreviousOneAndOnlyOneIsKept) {
    const std::string first(3000, 'a');
    const std::string second(3000, 'b');
    const std::string third(3000, 'c');
    platform::LogFile log(path.string(), kLimit);
    ASSERT_TRUE(log.append(first));
    ASSERT_TRUE(log.append(second));
    EXPECT_EQ(readFile(platform::LogFile::previousName(path.string())), first);
    EXPECT_EQ(readFile(path), second);
    // A later run continues the current file and rotates it the same way.
    platform::LogFile later(path.string(), kLimit);
    ASSERT_TRUE(later.append(third));
    EXPECT_EQ(readFile(platform::LogFile::previousName(path.string())), second);
    EXPECT_EQ(readFile(path), third);
    EXPECT_FALSE(fs::exists(path.string() + ".2"));
}

} // namespace
