#include "platform/Clock.h"
#include "platform/MobileBroadband.h"
#include "platform/sim/MobileBroadbandSimulated.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace platform;
namespace fs = std::filesystem;

class MobileBroadbandTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-mb-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        fs::create_directories(root / "devices");
    }
    void TearDown() override {
        unsetenv("KESTREL_SIM_ROOT");
        std::error_code error;
        fs::remove_all(root, error);
    }

    void writeDevice(const std::string& name, const std::string& text) {
        const fs::path temporary = root / "devices" / ("." + name + ".tmp");
        std::ofstream(temporary) << text;
        fs::rename(temporary, root / "devices" / name);
    }

    fs::path root;
};

TEST_F(MobileBroadbandTest, DeviceFileListsAreParsedLeniently) {
    std::vector<std::string> ids;
    EXPECT_TRUE(parseMobileBroadbandInterfaces(R"({"mbInterfaces": ["{A}", 7, "", "{B}"]})", ids));
    EXPECT_EQ(ids, (std::vector<std::string>{"{A}", "{B}"}));
    EXPECT_TRUE(parseMobileBroadbandInterfaces(R"({"nodes": []})", ids));
    EXPECT_TRUE(ids.empty());
    EXPECT_FALSE(parseMobileBroadbandInterfaces(R"({"mbInterfaces": "{A}"})", ids));
    EXPECT_FALSE(parseMobileBroadbandInterfaces("{\"mbInterfaces\": [", ids));
    EXPECT_TRUE(ids.empty());
}

TEST_F(MobileBroadbandTest, ListIsTheUnionOfTheDeviceFilesInNameOrder) {
    setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
    std::vector<std::string> ids{"stale"};
    EXPECT_EQ(listMobileBroadbandInterfaces(ids), kErrorElementNotFound);
    EXPECT_TRUE(ids.empty());

    writeDevice("b-card.json", R"({"mbInterfaces": ["{22}", "{11}"]})");
    writeDevice("a-card.json", R"({"mbInterfaces": ["{11}"]})");
    writeDevice("broken.json", R"({"mbInterfaces": ["{33}")");
    writeDevice("notes.txt", R"({"mbInterfaces": ["{44}"]})");
    EXPECT_EQ(listMobileBroadbandInterfaces(ids), 0u);
    EXPECT_EQ(ids, (std::vector<std::string>{"{11}", "{22}"}));

    unsetenv("KESTREL_SIM_ROOT"); // a Linux machine lists nothing for now
    EXPECT_EQ(listMobileBroadbandInterfaces(ids), kErrorElementNotFound);
    EXPECT_TRUE(ids.empty());
}

TEST_F(MobileBroadbandTest, WatchReportsArrivalAndRemovalOfInterfaces) {
    setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
    writeDevice("present.json", R"({"mbInterfaces": ["{OLD}"]})");
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<MobileBroadbandEvent, std::string>> events;
    auto watch =
        watchMobileBroadbandInterfaces([&](MobileBroadbandEvent event, const std::string& id) {
            std::lock_guard<std::mutex> guard(mutex);
            events.emplace_back(event, id);
            changed.notify_all();
        });
    auto waitFor = [&](size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return events.size() >= count; });
    };
    writeDevice("card.json", R"({"nodes": [], "mbInterfaces": ["{NEW}", "{old}"]})");
    ASSERT_TRUE(waitFor(1));
    {
        std::lock_guard<std::mutex> guard(mutex);
        ASSERT_EQ(events.size(), 1u); // "{old}" was already listed
        EXPECT_EQ(events[0].first, MobileBroadbandEvent::Arrival);
        EXPECT_EQ(events[0].second, "{NEW}");
    }
    fs::remove(root / "devices" / "card.json");
    ASSERT_TRUE(waitFor(2));
    {
        std::lock_guard<std::mutex> guard(mutex);
        EXPECT_EQ(events[1].first, MobileBroadbandEvent::Removal);
        EXPECT_EQ(events[1].second, "{NEW}");
    }
    watch.reset();
    writeDevice("late.json", R"({"mbInterfaces": ["{LATE}"]})");
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_FALSE(
        changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return events.size() > 2; }));
}

} // namespace
