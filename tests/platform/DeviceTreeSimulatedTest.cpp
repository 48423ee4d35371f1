#include "platform/Clock.h"
#include "platform/sim/SimulatedDeviceTree.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace {

using platform::DeviceTreeChange;
using Kind = DeviceTreeChange::Kind;

constexpr uint64_t kEventWaitMs = 5000;
constexpr const char* kPortInterfaceClass = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";

const char* const kCardFile = R"json({
  "nodes": [
    { "id": "card", "parent": null, "enumerator": "USB",
      "instanceId": "USB\\VID_7E1A&PID_D050\\0001",
      "hardwareIds": ["USB\\VID_7E1A&PID_D050"] },
    { "id": "app", "parent": "card", "instanceId": "USB\\VID_7E1A&PID_D050&MI_02\\1",
      "classGuid": "{4D36E978-E325-11CE-BFC1-08002BE10318}",
      "friendlyName": "Application Interface (pts/7)",
      "hardwareKey": { "PortName": "pts/7" },
      "interfaces": [ { "classGuid": "{86E0D1E0-8089-11D0-9CE4-08003E301F73}",
                        "name": "\\\\?\\USB#APP" } ] }
  ],
  "deviceNames": { "lmuhsbus0": { "open": "ok" } }
})json";

// Collects notifications from the watcher thread. Declared before the tree it listens to, so the
// tree's watcher has stopped before the recorder goes.
class Recorder {
public:
    platform::DeviceTreeListener listener() {
        return [this](const DeviceTreeChange& change) {
            std::lock_guard<std::mutex> guard(mutex_);
            changes_.push_back(change);
            changed_.notify_all();
        };
    }
    // Waits until `count` "nodes changed" events have arrived in all.
    bool waitForNodesChanged(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return platform::waitFor(changed_, lock, kEventWaitMs, [&] {
            return std::count_if(changes_.begin(), changes_.end(), [](const DeviceTreeChange& c) {
                       return c.kind == Kind::NodesChanged;
                   }) >= static_cast<long>(count);
        });
    }
    std::vector<DeviceTreeChange> changes() {
        std::lock_guard<std::mutex> guard(mutex_);
        return changes_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DeviceTreeChange> changes_;
};

class SimulatedDeviceTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-devtree-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        devices_ = root_ + "/devices";
        std::filesystem::create_directories(devices_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    // Writes a device file the way its owners do: a hidden temporary file, then a rename.
    void writeAtomically(const std::string& name, const std::string& text) {
        const std::string temporary = devices_ + "/." + name + ".tmp";
        std::ofstream(temporary) << text;
        std::filesystem::rename(temporary, devices_ + "/" + name);
    }
    std::unique_ptr<platform::SimulatedDeviceTree> open() {
        auto tree =
            std::make_unique<platform::SimulatedDeviceTree>(root_, [this](const std::string& text) {
                std::lock_guard<std::mutex> guard(mutex_);
                diagnostics_.push_back(text);
                reported_.notify_all();
            });
        EXPECT_TRUE(tree->watching());
        return tree;
    }
    bool waitForDiagnostics(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return platform::waitFor(reported_, lock, kEventWaitMs,
                                 [&] { return diagnostics_.size() >= count; });
    }
    std::vector<std::string> diagnostics() {
        std::lock_guard<std::mutex> guard(mutex_);
        return diagnostics_;
    }

    std::string root_;
    std::string devices_;
    std::mutex mutex_;
    std::condition_variable reported_;
    std::vector<std::string> diagnostics_;
};

TEST_F(SimulatedDeviceTree, FilesPresentAtStartAreReadWithoutNotifications) {
    writeAtomically("card.json", kCardFile);
    auto tree = open();
    const auto card = tree->node("card.json", "card");
    ASSERT_NE(card, 0u);
    std::vector<platform::DevNode> nodes;
    tree->devicesOfEnumerator("USB", nodes);
    EXPECT_EQ(nodes.size(), 2u);
    EXPECT_EQ(tree->probeDevice("\\\\.\\lmuhsbus0", platform::OpenMode::Query), 0u);
}

TEST_F(SimulatedDeviceTree, PluggingAndUnpluggingAFileNotifies) {
    Recorder recorder;
    auto tree = open();
    tree->subscribe({{kPortInterfaceClass}, true, true}, recorder.listener());

    writeAtomically("card.json", kCardFile);
    ASSERT_TRUE(recorder.waitForNodesChanged(1));
    auto changes = recorder.changes();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].kind, Kind::InterfaceArrival);
    EXPECT_EQ(changes[0].name, "\\\\?\\USB#APP");
    EXPECT_EQ(changes[1].kind, Kind::PortArrival);
    EXPECT_EQ(changes[1].name, "pts/7");
    const auto app = tree->node("card.json", "app");
    std::string port;
    EXPECT_EQ(tree->registryValue(app, platform::RegistryKey::Hardware, "PortName", port), 0u);
    EXPECT_EQ(port, "pts/7");

    std::filesystem::remove(devices_ + "/card.json");
    ASSERT_TRUE(recorder.waitForNodesChanged(2));
    changes = recorder.changes();
    ASSERT_EQ(changes.size(), 6u);
    EXPECT_EQ(changes[3].kind, Kind::InterfaceRemoval);
    EXPECT_EQ(changes[4].kind, Kind::PortRemoval);
    EXPECT_EQ(tree->node("card.json", "app"), 0u);
    EXPECT_TRUE(diagnostics().empty());
}

// A card that leaves and comes back faster than the watcher thread looks (the removal and the
// new file arrive in one batch of changes) is still seen leaving and arriving again.
TEST_F(SimulatedDeviceTree, FileRemovedAndWrittenAgainWithinOneBatchIsADepartureAndAnArrival) {
    writeAtomically("card.json", kCardFile);
    std::mutex mutex;
    std::condition_variable released;
    bool holding = true;
    Recorder recorder;
    auto tree = open();
    const auto app = tree->node("card.json", "app");
    const auto inner = recorder.listener();
    // The first notification (another device plugged) holds the watcher thread while the card
    // leaves and comes back, so both changes wait for the thread's next batch.
    tree->subscribe({{kPortInterfaceClass}, true, true}, [&](const DeviceTreeChange& change) {
        inner(change);
        std::unique_lock<std::mutex> lock(mutex);
        platform::waitFor(released, lock, kEventWaitMs, [&] { return !holding; });
    });
    writeAtomically("other.json",
                    R"json({ "nodes": [ { "id": "x", "instanceId": "X\\1" } ] })json");
    ASSERT_TRUE(recorder.waitForNodesChanged(1));
    std::filesystem::remove(devices_ + "/card.json");
    writeAtomically("card.json", kCardFile);
    {
        std::lock_guard<std::mutex> guard(mutex);
        holding = false;
    }
    released.notify_all();

    ASSERT_TRUE(recorder.waitForNodesChanged(3));
    const auto changes = recorder.changes();
    auto position = [&](Kind kind) {
        return std::find_if(changes.begin(), changes.end(),
                            [&](const DeviceTreeChange& c) { return c.kind == kind; }) -
               changes.begin();
    };
    ASSERT_LT(position(Kind::InterfaceRemoval), static_cast<long>(changes.size()));
    ASSERT_LT(position(Kind::InterfaceArrival), static_cast<long>(changes.size()));
    EXPECT_LT(position(Kind::InterfaceRemoval), position(Kind::InterfaceArrival));
    EXPECT_LT(position(Kind::PortRemoval), position(Kind::PortArrival));
    EXPECT_NE(tree->node("card.json", "app"), 0u);
    EXPECT_NE(tree->node("card.json", "app"), app);
}

TEST_F(SimulatedDeviceTree, RewrittenFileKeepsItsNodeNumbers) {
    writeAtomically("card.json", kCardFile);
    Recorder recorder;
    auto tree = open();
    tree->subscribe({{}, true, true}, recorder.listener());
    const auto card = tree->node("card.json", "card");
    const auto app = tree->node("card.json", "app");
    std::string grown = kCardFile;
    grown.replace(grown.find("\"hardwareIds\": [\"USB\\\\VID_7E1A&PID_D050\"] }"),
                  std::string("\"hardwareIds\": [\"USB\\\\VID_7E1A&PID_D050\"] }").size(),
                  "\"hardwareIds\": [\"USB\\\\VID_7E1A&PID_D050\"] },"
                  " { \"id\": \"dbg\", \"parent\": \"card\", \"instanceId\": \"DBG\\\\1\" }");
    writeAtomically("card.json", grown);
    ASSERT_TRUE(recorder.waitForNodesChanged(1));
    EXPECT_EQ(tree->node("card.json", "card"), card);
    EXPECT_EQ(tree->node("card.json", "app"), app);
    EXPECT_NE(tree->node("card.json", "dbg"), 0u);
    for (const auto& change : recorder.changes())
        EXPECT_NE(change.kind, Kind::PortArrival) << "the port did not change";
}

TEST_F(SimulatedDeviceTree, MalformedFileIsReportedAndContributesNothing) {
    Recorder recorder;
    auto tree = open();
    tree->subscribe({{}, true, true}, recorder.listener());
    writeAtomically("broken.json", "{\"nodes\": [ {\"parent\": null} ]}");
    writeAtomically("card.json", kCardFile);
    ASSERT_TRUE(recorder.waitForNodesChanged(1));
    ASSERT_TRUE(waitForDiagnostics(1));
    EXPECT_NE(tree->node("card.json", "card"), 0u);
    EXPECT_EQ(recorder.changes().size(), 2u) << "an ignored file changes nothing";
    const auto reports = diagnostics();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("broken.json"), std::string::npos);
    EXPECT_NE(reports[0].find("has no \"id\""), std::string::npos);

    writeAtomically("broken.json", "not json at all");
    ASSERT_TRUE(waitForDiagnostics(2));
    EXPECT_NE(diagnostics().back().find("not valid JSON"), std::string::npos);
    EXPECT_NE(tree->node("card.json", "card"), 0u) << "other files are unaffected";

    // A file that becomes valid plugs its nodes in.
    writeAtomically("broken.json", "{\"nodes\": [ {\"id\": \"late\"} ]}");
    ASSERT_TRUE(recorder.waitForNodesChanged(2));
    EXPECT_NE(tree->node("broken.json", "late"), 0u);
}

TEST_F(SimulatedDeviceTree, TemporaryAndForeignFilesAreNoDevices) {
    Recorder recorder;
    auto tree = open();
    tree->subscribe({{}, true, true}, recorder.listener());
    std::ofstream(devices_ + "/.card.json.tmp1") << kCardFile;
    std::ofstream(devices_ + "/notes.txt") << "hello";
    writeAtomically("real.json", "{}");
    ASSERT_TRUE(recorder.waitForNodesChanged(1));
    EXPECT_EQ(recorder.changes().size(), 1u);
    EXPECT_TRUE(tree->groupNames() == std::vector<std::string>{"real.json"});
    EXPECT_TRUE(diagnostics().empty());
}

TEST_F(SimulatedDeviceTree, MissingDevicesFolderIsCreated) {
    std::filesystem::remove_all(devices_);
    Recorder recorder;
    auto tree = open();
    EXPECT_TRUE(std::filesystem::is_directory(devices_));
    tree->subscribe({{}, true, true}, recorder.listener());
    writeAtomically("card.json", kCardFile);
    EXPECT_TRUE(recorder.waitForNodesChanged(1));
}

} // namespace
