// Reading a recorded session as what the card did, and the replaying card on its terminals.

#include "platform/Clock.h"
#include "tests/support/WaitUntil.h"
#include "platform/PseudoTerminal.h"
#include "platform/SerialDevice.h"
#include "sim/CardReaction.h"
#include "sim/ReplayCard.h"
#include "sim/SessionReplay.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace cardsim;
using Json = nlohmann::json;
namespace fs = std::filesystem;

constexpr double kTestScale = 0.05;

Json tree(const std::string& portName) {
    const Json card = {
        {"id", "card"}, {"parent", nullptr}, {"instanceId", "USB\\VID_1234&PID_5678\\0000"}};
    const Json port = {{"id", "app"},
                       {"parent", "card"},
                       {"instanceId", "USB\\VID_1234&PID_5678&MI_02\\x"},
                       {"friendlyName", "Velmar Application Interface (" + portName + ")"},
                       {"hardwareKey", {{"PortName", portName}}}};
    return {{"nodes", Json::array({card, port})}};
}

// The card answers "ATI" twice, differently; leaves 500 ms after "AT%MODE=1" and comes back
// 20 s later; a frame is acknowledged.
Json recording() {
    Json events = Json::array({
        {{"event", "arrival"}, {"t", 1.0}, {"tree", 0}},
        {{"event", "open"}, {"t", 10.0}, {"port", 1}},
        {{"event", "write"}, {"t", 11.0}, {"port", 1}, {"text", "ATI\r\n"}},
        {{"event", "read"}, {"t", 300.0}, {"port", 1}, {"text", "first\r\n"}},
        {{"event", "read"}, {"t", 400.0}, {"port", 1}, {"text", "OK\r\n"}},
        {{"event", "write"}, {"t", 500.0}, {"port", 1}, {"text", "ATI\r\n"}},
        {{"event", "read"}, {"t", 600.0}, {"port", 1}, {"text", "second\r\nOK\r\n"}},
        {{"event", "write"},
         {"t", 700.0},
         {"port", 1},
         {"frame", {{"kind", "data"}, {"length", 6}, {"checksum", "3412"}}}},
        {{"event", "read"}, {"t", 701.0}, {"port", 1}, {"hex", "aa01"}},
        {{"event", "write"}, {"t", 1000.0}, {"port", 1}, {"text", "AT%MODE=1\r\n"}},
        {{"event", "departure"}, {"t", 1500.0}, {"tree", 1}},
        {{"event", "read"}, {"t", 1510.0}, {"port", 1}, {"text", "OK\r\n"}},
        {{"event", "close"}, {"t", 1520.0}, {"port", 1}},
        {{"event", "arrival"}, {"t", 21500.0}, {"tree", 2}},
    });
    return {
        {"format", "kestrel-session"},
        {"version", 1},
        {"package", {{"firmware", "3.19.0"}}},
        {"trees", Json::array({tree("pts/90"), Json{{"nodes", Json::array()}}, tree("pts/91")})},
        {"ports", Json::array({{{"id", 1}, {"role", "Velmar Application Interface"}}})},
        {"events", events}};
}

TEST(SessionReplay, ReadsExchangesPresencesAndDelays) {
    SessionReplay replay;
    std::string problem;
    ASSERT_TRUE(replay.parse(recording().dump(), problem)) << problem;
    EXPECT_EQ(replay.packageFirmware(), "3.19.0");
    const auto& exchanges = replay.exchanges();
    ASSERT_EQ(exchanges.size(), 4u);
    EXPECT_EQ(exchanges[0].command, "ATI");
    EXPECT_EQ(exchanges[0].role, "Velmar Application Interface");
    ASSERT_EQ(exchanges[0].answer.size(), 2u);
    EXPECT_EQ(exchanges[0].answer[0].afterMs, 0) << "the first piece goes out at once";
    EXPECT_EQ(exchanges[0].answer[1].afterMs, 100);
    EXPECT_EQ(exchanges[1].answer[0].bytes, "second\r\nOK\r\n");
    EXPECT_EQ(exchanges[2].frameKind, "data");
    EXPECT_EQ(exchanges[2].frameLength, 6u);
    EXPECT_EQ(exchanges[2].frameChecksum, 0x3412u);
    EXPECT_EQ(exchanges[2].answer[0].bytes, std::string("\xAA\x01", 2));
    EXPECT_TRUE(exchanges[3].leaves);
    EXPECT_EQ(exchanges[3].leaveAfterMs, 500);
    ASSERT_EQ(exchanges[3].answer.size(), 1u) << "read from the open port after the departure";
    ASSERT_EQ(replay.presences().size(), 2u);
    EXPECT_EQ(replay.presences()[1].comeBackAfterMs, 20000);
    EXPECT_EQ(replay.presences()[1].trees.size(), 1u);
}

TEST(SessionReplay, RefusesWhatItCannotReplayWithAReason) {
    const auto refused = [](const std::string& text) {
        SessionReplay replay;
        std::string problem;
        const bool parsed = replay.parse(text, problem);
        EXPECT_FALSE(problem.empty()) << text;
        return !parsed;
    };
    EXPECT_TRUE(refused("not json"));
    EXPECT_TRUE(refused("[]"));
    Json file = recording();
    file["format"] = "something-else";
    EXPECT_TRUE(refused(file.dump()));
    file = recording();
    file["version"] = 2;
    EXPECT_TRUE(refused(file.dump()));
    file = recording();
    file["format"] = 7;
    EXPECT_TRUE(refused(file.dump()));
    file = recording();
    file["events"] = "none";
    EXPECT_TRUE(refused(file.dump()));
    file = recording();
    file["events"][1]["port"] = "one";
    EXPECT_TRUE(refused(file.dump()));
    file = recording();
    file["events"][0]["tree"] = 9;
    EXPECT_TRUE(refused(file.dump()));
    file = recording();
    file["events"][8]["hex"] = "aa0";
    file["events"][7] = {{"event", "write"}, {"port", 1}, {"hex", "a"}};
    EXPECT_TRUE(refused(file.dump()));
}

class ReplayCardOnTerminals : public ::testing::Test {
protected:
    void SetUp() override {
        platform::overrideTimeScale(kTestScale);
        char folder[] = "/tmp/kestrel-replay-XXXXXX";
        root = mkdtemp(folder);
        SessionReplay replay;
        std::string problem;
        ASSERT_TRUE(replay.parse(recording().dump(), problem)) << problem;
        card = std::make_unique<ReplayCard>(ReplayOptions{root.string(), "cardsim"}, replay);
        thread = std::thread([this] { served = card->run(&problem_); });
    }
    void TearDown() override {
        card->requestStop();
        thread.join();
        EXPECT_TRUE(served) << problem_;
        EXPECT_FALSE(fs::exists(root / "devices/cardsim.json")) << "the card left at its stop";
        fs::remove_all(root);
        platform::overrideTimeScale(1.0);
    }

    bool published() const { return fs::exists(root / "devices/cardsim.json"); }
    // Waits up to 10 s for the device file to be there or gone.
    bool waitUntilPublished(bool present) const {
        return testsupport::waitUntil([&] { return published() == present; },
                                      std::chrono::seconds(10));
    }
    // The published application port.
    std::string publishedPort() {
        std::ifstream file(root / "devices/cardsim.json");
        std::stringstream text;
        text << file.rdbuf();
        const Json content = Json::parse(text.str(), nullptr, false);
        if (content.is_discarded() || !content.contains("nodes") || content["nodes"].size() != 2)
            return std::string();
        return content["nodes"][1]["hardwareKey"]["PortName"];
    }
    platform::SerialHandle open(const std::string& name) {
        platform::SerialHandle handle =
            platform::serialOpen(L"\\\\.\\" + std::wstring(name.begin(), name.end()));
        platform::SerialTimeouts timeouts;
        timeouts.readTotalConstantMs = 2000;
        timeouts.writeTotalConstantMs = 2000;
        platform::serialSetTimeouts(handle, timeouts);
        return handle;
    }
    std::string ask(platform::SerialHandle handle, const std::string& bytes, size_t answer) {
        uint32_t count = 0;
        platform::serialWrite(handle, bytes.data(), uint32_t(bytes.size()), count);
        std::string received(answer, '\0');
        platform::serialRead(handle, received.data(), uint32_t(answer), count);
        received.resize(count);
        return received;
    }

    fs::path root;
    std::unique_ptr<ReplayCard> card;
    std::thread thread;
    bool served = false;
    std::string problem_;
};

TEST_F(ReplayCardOnTerminals, AnswersAsRecordedDivergesOnTheUnknownAndComesBackAfterLeaving) {
    ASSERT_TRUE(waitUntilPublished(true));
    const std::string first = publishedPort();
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first, "pts/90") << "a terminal of the replaying card, not the recorded name";
    platform::SerialHandle port = open(first);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(ask(port, "ATI\r\n", 11), "first\r\nOK\r\n");
    EXPECT_EQ(ask(port, "AT+UNKNOWN\r\n", 9), "\r\nERROR\r\n");
    EXPECT_EQ(card->divergences(), 1u);
    EXPECT_EQ(ask(port, "ATI\r\n", 12), "second\r\nOK\r\n") << "repeats in recorded order";
    // A frame that is not the recorded one is asked again; the recorded one is accepted.
    EXPECT_EQ(ask(port, std::string("\xAA\x00\x01\x02\x00\x00", 6), 2), std::string("\xAA\x09", 2));
    EXPECT_EQ(card->divergences(), 2u);
    EXPECT_EQ(ask(port, std::string("\xAA\x00\x01\x02\x12\x34", 6), 2), std::string("\xAA\x01", 2));
    EXPECT_EQ(ask(port, "AT%MODE=1\r\n", 4), "OK\r\n");
    platform::serialClose(port);
    EXPECT_TRUE(waitUntilPublished(false)) << "the card left after its recorded pause";
    EXPECT_TRUE(waitUntilPublished(true)) << "the card came back after its recorded absence";
    EXPECT_FALSE(publishedPort().empty());
}

// A reset recorded right after its answer waits for the updater to take the answer: a terminal
// that goes discards what was not read, and a loaded machine reads late.
TEST_F(ReplayCardOnTerminals, LeavesOnlyOnceItsLastAnswerHasBeenRead) {
    ASSERT_TRUE(waitUntilPublished(true));
    platform::SerialHandle port = open(publishedPort());
    ASSERT_NE(port, nullptr);
    uint32_t count = 0;
    const std::string command = "AT%MODE=1\r\n";
    platform::serialWrite(port, command.data(), uint32_t(command.size()), count);
    // Well past the recorded 500 ms (25 ms here) and the card's reaction floor.
    std::this_thread::sleep_for(std::chrono::milliseconds(4 * kReactionFloorRealMs));
    EXPECT_TRUE(published()) << "the card is still there while its answer waits";
    std::string answer(4, '\0');
    platform::serialRead(port, answer.data(), uint32_t(answer.size()), count);
    answer.resize(count);
    EXPECT_EQ(answer, "OK\r\n");
    platform::serialClose(port);
    EXPECT_TRUE(waitUntilPublished(false)) << "the card left once its answer was read";
}

} // namespace
