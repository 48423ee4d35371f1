#include "platform/Clock.h"
#include "platform/SerialDevice.h"
#include "sim/CardSimulator.h"
#include "sim/CardReaction.h"
#include "tests/support/CardAnswer.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace cardsim;
using Json = nlohmann::json;

constexpr double kTestScale = 0.05;

std::string temporaryFolder() {
    std::random_device random;
    const auto path = std::filesystem::temp_directory_path() /
                      ("kestrel-sim-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path);
    return path.string();
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A client of one simulated port, opened like the flashing library opens it.
class Terminal {
public:
    explicit Terminal(const std::string& portName) {
        handle_ = platform::serialOpen(L"\\\\.\\" + std::wstring(portName.begin(), portName.end()));
        if (handle_ == nullptr)
            return;
        platform::SerialTimeouts timeouts;
        timeouts.readIntervalMs = platform::kSerialMaxTimeout;
        timeouts.readTotalConstantMs = 500;
        timeouts.writeTotalConstantMs = 500;
        platform::serialSetTimeouts(handle_, timeouts);
        platform::serialSetLineSettings(handle_, platform::SerialLineSettings());
    }
    ~Terminal() {
        if (handle_ != nullptr)
            platform::serialClose(handle_);
    }
    bool isOpen() const { return handle_ != nullptr; }

    bool send(const std::string& text) {
        uint32_t written = 0;
        return platform::serialWrite(handle_, text.data(), static_cast<uint32_t>(text.size()),
                                     written) &&
               written == text.size();
    }
    // One read of up to 1023 bytes: what arrives within 500 ms.
    bool read(std::string& text) {
        char buffer[1023];
        uint32_t got = 0;
        const bool ok = platform::serialRead(handle_, buffer, sizeof buffer, got);
        text.assign(buffer, got);
        return ok;
    }
    // Reads until a final result code, for up to kAnswerLimit of real time: a loaded machine may
    // keep the card from answering within one read. `reads` counts the reads that brought
    // something.
    std::string answer(int* reads = nullptr) {
        constexpr auto kAnswerLimit = std::chrono::seconds(10);
        return testsupport::readCardAnswer([this](std::string& piece) { return read(piece); },
                                           kAnswerLimit, reads);
    }
    // Reads until `count` bytes have come, for up to 10 s of real time.
    std::string bytes(size_t count) {
        constexpr auto kLimit = std::chrono::seconds(10);
        const auto deadline = std::chrono::steady_clock::now() + kLimit;
        std::string all;
        std::string piece;
        while (all.size() < count && read(piece) && std::chrono::steady_clock::now() < deadline)
            all += piece;
        return all;
    }
    std::string command(const std::string& line) {
        send(line + "\r\n");
        return answer();
    }

private:
    platform::SerialHandle handle_ = nullptr;
};

class CardSimulatorTest : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{kTestScale};
    void SetUp() override {
        root = temporaryFolder();
        settings.root = root;
        settings.name = "card0";
        settings.modeChangeDelayMs = 1000;
    }
    void TearDown() override {
        card.reset();
        std::error_code error;
        std::filesystem::remove_all(root, error);
    }
    void startCard() {
        card = std::make_unique<CardSimulator>(settings);
        std::string problem;
        ASSERT_TRUE(card->start(&problem)) << problem;
    }
    Json deviceFile() const { return Json::parse(fileText(card->deviceFile())); }

    std::string root;
    SimulatorOptions settings;
    std::unique_ptr<CardSimulator> card;
};

TEST_F(CardSimulatorTest, PublishesTheCardAndItsPortsAndUnplugsOnStop) {
    startCard();
    const Presence presence = card->presence();
    ASSERT_TRUE(presence.present);
    EXPECT_EQ(card->deviceFile(), root + "/devices/card0.json");
    const Json file = deviceFile();
    ASSERT_EQ(file["nodes"].size(), 3u);
    const Json& cardNode = file["nodes"][0];
    EXPECT_EQ(cardNode["id"], "card");
    EXPECT_TRUE(cardNode["parent"].is_null());
    EXPECT_EQ(cardNode["instanceId"], "USB\\VID_1234&PID_5678\\0001");
    EXPECT_EQ(cardNode["hardwareIds"][1], "USB\\VID_1234&PID_5678");
    EXPECT_EQ(cardNode["status"]["started"], true);
    const Json& appNode = file["nodes"][1];
    EXPECT_EQ(appNode["parent"], "card");
    EXPECT_EQ(appNode["hardwareKey"]["PortName"], presence.applicationPort);
    EXPECT_EQ(appNode["friendlyName"],
              "Velmar Application Interface (" + presence.applicationPort + ")");
    EXPECT_EQ(appNode["classGuid"], "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    const Json& diagNode = file["nodes"][2];
    EXPECT_EQ(diagNode["hardwareKey"]["PortName"], presence.diagnosticPort);
    EXPECT_EQ(diagNode["friendlyName"],
              "Velmar Diagnostics Interface (" + presence.diagnosticPort + ")");
    EXPECT_TRUE(file["deviceNames"].is_object());
    EXPECT_TRUE(file["mbInterfaces"].is_array());
    EXPECT_NE(presence.applicationPort, presence.diagnosticPort);

    card->stop();
    EXPECT_FALSE(std::filesystem::exists(root + "/devices/card0.json"));
    EXPECT_FALSE(card->presence().present);
}

TEST_F(CardSimulatorTest, AnswersTheInformationCommandsWithEchoOnByDefault) {
    startCard();
    Terminal port(card->presence().applicationPort);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.command("ATI"), "ATI\r\r\nManufacturer: Velmar N.V.\r\nModel: QT0880\r\n"
                                   "Revision: 3.18.2 (Date: Jan 05 2010, Time: 10:00:00)\r\n"
                                   "\r\nOK\r\n");
    EXPECT_EQ(port.command("ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(port.command("AT_VISOV?"), "\r\n_VISOV: 2.1.0\r\n\r\nOK\r\n");
    EXPECT_EQ(port.command("AT_VLMC?"), "\r\n_VLMC: QT0880-27315\r\n\r\nOK\r\n");
    EXPECT_EQ(port.command("AT%MODE?"), "\r\n%MODE: 0\r\n\r\nOK\r\n");
    EXPECT_EQ(port.command("AT%ICBC"), "\r\n%ICBC: 1, 1, 1, 1, 0\r\n\r\nOK\r\n");
    EXPECT_EQ(port.command("at%mode?"), "\r\n%MODE: 0\r\n\r\nOK\r\n") << "letter case is free";
    EXPECT_EQ(port.command("AT+CGMR"), "\r\nERROR\r\n");
    EXPECT_EQ(port.command("AT%MODE=9"), "\r\nERROR\r\n");
    EXPECT_EQ(port.command("ATE1"), "\r\nOK\r\n");
    EXPECT_EQ(port.command("AT"), "AT\r\r\nERROR\r\n");
    const auto commands = card->receivedCommands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), "ATI");
}

TEST_F(CardSimulatorTest, DiagnosticPortSpeaksAtToo) {
    startCard();
    Terminal port(card->presence().diagnosticPort);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.command("AT%MODE?"), "AT%MODE?\r\r\n%MODE: 0\r\n\r\nOK\r\n");
}

TEST_F(CardSimulatorTest, ModeChangeLeavesTheBusAndReturnsWithNewPortsInTheNewMode) {
    startCard();
    const Presence before = card->presence();
    Terminal port(before.applicationPort);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.command("AT%MODE=1"), "AT%MODE=1\r\r\nOK\r\n");
    ASSERT_TRUE(card->waitForDeparture(before.generation, 5000));
    EXPECT_FALSE(std::filesystem::exists(card->deviceFile()));
    std::string text;
    EXPECT_FALSE(port.read(text)) << "the old port has vanished";

    Presence after;
    ASSERT_TRUE(card->waitForArrival(before.generation, 20000, &after));
    EXPECT_EQ(after.generation, before.generation + 1);
    const Json file = deviceFile();
    EXPECT_EQ(file["nodes"][1]["hardwareKey"]["PortName"], after.applicationPort);
    EXPECT_EQ(file["nodes"][2]["hardwareKey"]["PortName"], after.diagnosticPort);
    Terminal again(after.applicationPort);
    ASSERT_TRUE(again.isOpen());
    EXPECT_EQ(again.command("AT%MODE?"), "AT%MODE?\r\r\n%MODE: 1\r\n\r\nOK\r\n")
        << "echo is on again after the reset";
    EXPECT_EQ(Json::parse(fileText(card->stateFile()))["mode"], 1);
    // The same mode once more: answered, no re-enumeration.
    EXPECT_EQ(again.command("AT%MODE=1"), "AT%MODE=1\r\r\nOK\r\n");
    EXPECT_FALSE(card->waitForDeparture(after.generation, 1000));
}

// At a tiny scale the card's 200 ms before leaving last microseconds; a reader that a loaded
// machine holds back must still find the answer, and the card must stay away long enough to be
// seen gone.
TEST_F(CardSimulatorTest, ModeChangeAnswerOutlastsASlowReaderAtEveryTimeScale) {
    constexpr double kTinyScale = 0.0001;
    constexpr auto kHeldBack = std::chrono::milliseconds(300);
    const auto logical = [](std::chrono::milliseconds real) {
        return static_cast<uint64_t>(static_cast<double>(real.count()) / kTinyScale);
    };
    const testsupport::ScopedTimeScale tiny(kTinyScale);
    startCard();
    const Presence before = card->presence();
    Terminal port(before.applicationPort);
    ASSERT_TRUE(port.isOpen());
    ASSERT_TRUE(port.send("AT%MODE=1\r\n"));
    std::this_thread::sleep_for(kHeldBack);
    const auto readFrom = std::chrono::steady_clock::now();
    EXPECT_EQ(port.answer(), "AT%MODE=1\r\r\nOK\r\n");
    ASSERT_TRUE(card->waitForArrival(before.generation, logical(std::chrono::seconds(20))));
    EXPECT_GE(std::chrono::steady_clock::now() - readFrom,
              std::chrono::milliseconds(kReactionFloorRealMs))
        << "off the bus too briefly for a device watcher to notice";
}

TEST_F(CardSimulatorTest, NoAnswerToAModeChangeJustResets) {
    settings.faults.noModeAnswer = true;
    startCard();
    const Presence before = card->presence();
    Terminal port(before.applicationPort);
    ASSERT_TRUE(port.isOpen());
    port.send("ATE0\r\n");
    port.answer();
    port.send("AT%MODE=2\r\n");
    std::string text;
    port.read(text);
    EXPECT_EQ(text.find("OK"), std::string::npos);
    ASSERT_TRUE(card->waitForArrival(before.generation, 20000));
    EXPECT_EQ(card->stateSnapshot().mode, 2);
}

TEST_F(CardSimulatorTest, StateSurvivesRestartsAndStartModeOverridesIt) {
    settings.startMode = 3;
    startCard();
    EXPECT_EQ(card->stateSnapshot().mode, 3);
    card.reset();
    EXPECT_FALSE(std::filesystem::exists(root + "/devices/card0.json"));

    Json state = Json::parse(fileText(root + "/cardsim/card0.state.json"));
    EXPECT_EQ(state["mode"], 3);
    state["softwareVersion"] = "2.2.0";
    std::ofstream(root + "/cardsim/card0.state.json") << state.dump();
    settings.startMode = -1;
    startCard();
    Terminal port(card->presence().applicationPort);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.command("AT%MODE?"), "AT%MODE?\r\r\n%MODE: 3\r\n\r\nOK\r\n");
    EXPECT_EQ(port.command("AT_VISOV?"), "AT_VISOV?\r\r\n_VISOV: 2.2.0\r\n\r\nOK\r\n");
}

TEST_F(CardSimulatorTest, UnreadableStateFileOrUnknownProfileStopsTheStart) {
    std::filesystem::create_directories(root + "/cardsim");
    std::ofstream(root + "/cardsim/card0.state.json") << "{ not json";
    CardSimulator broken(settings);
    std::string problem;
    EXPECT_FALSE(broken.start(&problem));
    EXPECT_NE(problem.find("card0.state.json"), std::string::npos) << problem;

    settings.name = "card1";
    settings.profile = "QT9999";
    CardSimulator unknown(settings);
    EXPECT_FALSE(unknown.start(&problem));
    EXPECT_EQ(problem, "unknown profile 'QT9999'");
    EXPECT_FALSE(std::filesystem::exists(root + "/devices/card1.json"));
}

TEST_F(CardSimulatorTest, SilentCardSaysNothing) {
    settings.faults.silent = true;
    startCard();
    Terminal port(card->presence().applicationPort);
    ASSERT_TRUE(port.isOpen());
    port.send("ATI\r\n");
    std::string text;
    EXPECT_TRUE(port.read(text));
    EXPECT_EQ(text, "");
    // The read may time out before a loaded card thread has taken the line.
    EXPECT_TRUE(card->waitForReceivedCommands(1, platform::logicalFromRealMs(10000)));
    EXPECT_EQ(card->receivedCommands(), std::vector<std::string>{"ATI"});
}

TEST_F(CardSimulatorTest, ChosenCommandIsAnsweredError) {
    settings.faults.errorCommands = {"AT_VLMC?"};
    startCard();
    Terminal port(card->presence().applicationPort);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.command("AT_VLMC?"), "AT_VLMC?\r\r\nERROR\r\n");
    EXPECT_EQ(port.command("AT_VISOV?"), "AT_VISOV?\r\r\n_VISOV: 2.1.0\r\n\r\nOK\r\n");
}

TEST_F(CardSimulatorTest, AnswersSplitIntoPiecesArriveOverSeveralReads) {
    settings.faults.pieceSize = 10;
    settings.faults.piecePauseMs = 600;
    startCard();
    Terminal port(card->presence().applicationPort);
    ASSERT_TRUE(port.isOpen());
    port.send("AT_VLMC?\r\n");
    int reads = 0;
    EXPECT_EQ(port.answer(&reads), "AT_VLMC?\r\r\n_VLMC: QT0880-27315\r\n\r\nOK\r\n");
    EXPECT_GE(reads, 3);
}

TEST_F(CardSimulatorTest, DiagnosticOnlyProfilePublishesNoApplicationPort) {
    settings.profile = "QT0880-diagnostic-only";
    startCard();
    const Presence presence = card->presence();
    EXPECT_TRUE(presence.applicationPort.empty());
    EXPECT_FALSE(presence.diagnosticPort.empty());
    const Json file = deviceFile();
    ASSERT_EQ(file["nodes"].size(), 2u);
    EXPECT_EQ(file["nodes"][1]["id"], "diag");
}

TEST_F(CardSimulatorTest, ExtensionHandlersRunBeforeTheBuiltInCommands) {
    card = std::make_unique<CardSimulator>(settings);
    card->addCommandHandler([](CardSimulator& sim, Port port, const std::string&,
                               const std::string& upper) {
        if (upper != "AT%LOAD" || port != Port::diagnostic)
            return false;
        sim.reply(port, "\r\nOK\r\n");
        sim.setRawReceiver(port,
                           [](CardSimulator& self, Port from, const uint8_t* data, size_t size) {
                               self.sendRaw(from, "\xAA\x01", 2);
                               (void)data;
                               (void)size;
                           });
        return true;
    });
    std::string problem;
    ASSERT_TRUE(card->start(&problem)) << problem;
    Terminal port(card->presence().diagnosticPort);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.command("AT%LOAD"), "AT%LOAD\r\r\nOK\r\n");
    port.send(std::string("\x02\x00\x10", 3));
    EXPECT_EQ(port.bytes(2), "\xAA\x01");
}

} // namespace
