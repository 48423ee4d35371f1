#include "platform/Clock.h"
#include "platform/FolderWatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

namespace fs = std::filesystem;
using platform::FolderWatcher;

constexpr uint64_t kEventWaitMs = 5000;
constexpr uint32_t kWritten = FolderWatcher::kWritten | FolderWatcher::kMovedIn;

// Collects the changes the watcher thread hands on, flattened over its batches.
class Recorder {
public:
    FolderWatcher::Handler handler() {
        return [this](const FolderWatcher::Batch& batch) {
            std::lock_guard<std::mutex> guard(mutex_);
            ++batches_;
            for (const auto& change : batch.changes)
                changes_.push_back(change);
            arrived_.notify_all();
        };
    }
    bool waitFor(const std::string& name) {
        std::unique_lock<std::mutex> lock(mutex_);
        return platform::waitFor(arrived_, lock, kEventWaitMs,
                                 [&] { return find(name) != nullptr; });
    }
    FolderWatcher::Change change(const std::string& name) {
        std::lock_guard<std::mutex> guard(mutex_);
        const FolderWatcher::Change* found = find(name);
        return found != nullptr ? *found : FolderWatcher::Change{};
    }
    size_t batches() {
        std::lock_guard<std::mutex> guard(mutex_);
        return batches_;
    }

private:
    const FolderWatcher::Change* find(const std::string& name) const {
        for (const auto& change : changes_)
            if (change.name == name)
                return &change;
        return nullptr;
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<FolderWatcher::Change> changes_;
    size_t batches_ = 0;
};

class FolderWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-folder-watcher-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root / "events");
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(root, error);
    }
    void write(const fs::path& path) { std::ofstream(path) << "{}\n"; }

    fs::path root;
    Recorder recorder;
};

TEST_F(FolderWatcherTest, ChangesNameTheFileAndTheFolderItIsIn) {
    FolderWatcher watcher;
    ASSERT_TRUE(watcher.watch({{root.string(), kWritten}, {(root / "events").string(), kWritten}}));
    ASSERT_TRUE(watcher.start(recorder.handler()));
    EXPECT_TRUE(watcher.watching());

    write(root / "events" / "standby");
    write(root / "power.json");
    fs::create_directory(root / "sub");
    fs::rename(root / "sub", root / "moved");
    ASSERT_TRUE(recorder.waitFor("standby"));
    ASSERT_TRUE(recorder.waitFor("power.json"));
    ASSERT_TRUE(recorder.waitFor("moved"));
    EXPECT_EQ(recorder.change("standby").folder, 1u);
    EXPECT_FALSE(recorder.change("standby").directory);
    EXPECT_EQ(recorder.change("power.json").folder, 0u);
    EXPECT_TRUE(recorder.change("moved").directory);
}

TEST_F(FolderWatcherTest, FilesWrittenBeforeTheStartAreHandedOnOnceItRuns) {
    FolderWatcher watcher;
    ASSERT_TRUE(watcher.watch({{root.string(), kWritten}}));
    write(root / "early.json");
    ASSERT_TRUE(watcher.start(recorder.handler()));
    EXPECT_TRUE(recorder.waitFor("early.json"));
}

TEST_F(FolderWatcherTest, MissingFolderOrNothingWatchedIsRefusedWithAReason) {
    FolderWatcher watcher;
    std::string problem;
    const std::string missing = (root / "absent").string();
    EXPECT_FALSE(watcher.watch({{root.string(), kWritten}, {missing, kWritten}}, &problem));
    EXPECT_NE(problem.find("cannot watch " + missing), std::string::npos) << problem;
    EXPECT_FALSE(watcher.watching()) << "no half-made watch is kept";

    problem.clear();
    EXPECT_FALSE(watcher.start(recorder.handler(), {}, &problem));
    EXPECT_EQ(problem, "no folder is watched");
}

TEST_F(FolderWatcherTest, StopEndsTheThreadAndNothingIsHandedOnAfterIt) {
    FolderWatcher watcher;
    ASSERT_TRUE(watcher.watch({{root.string(), kWritten}}));
    ASSERT_TRUE(watcher.start(recorder.handler()));
    write(root / "before.json");
    ASSERT_TRUE(recorder.waitFor("before.json"));

    const auto start = std::chrono::steady_clock::now();
    watcher.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const size_t batches = recorder.batches();
    write(root / "after.json");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(recorder.batches(), batches);
    watcher.stop(); // a second stop does nothing
}

} // namespace
