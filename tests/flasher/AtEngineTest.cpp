#include "flasher/AtEngine.h"
#include "flasher/Library.h"
#include "SimulatedCard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace flasher;
using testing_support::countLogged;

class AtEngineOnCard : public testing_support::SimulatedCard {
protected:
    // Opens the application port, runs `command`, closes; the engine keeps its texts.
    int send(const char* command, std::string* answer = nullptr) {
        library().shareLogger();
        PortGuard port;
        EXPECT_EQ(openDevicePort(app.c_str(), diag.c_str(), port.handle), 0);
        engine.takeLoggerOf(sharedLogger());
        char buffer[kAtBufferSize] = {};
        const int result = engine.sendCommand(port.handle, command, buffer, sizeof buffer);
        if (answer != nullptr)
            *answer = buffer;
        return result;
    }

    AtEngine engine;
};

TEST_F(AtEngineOnCard, OnePieceAnswerEndsAfterOneCycle) {
    startCard();
    std::string answer;
    EXPECT_EQ(send("ATI", &answer), kAtOk);
    EXPECT_EQ(answer, "ATI\r\r\nManufacturer: Velmar N.V.\r\nModel: QT0880\r\nRevision: 3.18.2 "
                      "(Date: Jan 05 2010, Time: 10:00:00)\r\n\r\nOK\r\n");
    EXPECT_EQ(countLogged(L"resp_index: "), 1u);
    EXPECT_EQ(countLogged(L"Send AT command 'ATI'"), 1u);
}

TEST_F(AtEngineOnCard, AnswerInManyPiecesIsAppendedUntilOk) {
    auto options = this->options();
    options.faults.pieceSize = 16;
    options.faults.piecePauseMs = 250;
    startCard(options);
    std::string answer;
    EXPECT_EQ(send("ATI", &answer), kAtOk);
    EXPECT_NE(answer.find("Manufacturer: Velmar N.V.\r\nModel: QT0880\r\nRevision: 3.18.2"),
              std::string::npos);
    EXPECT_EQ(answer.substr(answer.size() - 6), "\r\nOK\r\n");
    EXPECT_GT(countLogged(L"resp_index: "), 2u) << "the pieces must span several reads";
}

TEST_F(AtEngineOnCard, ErrorBesideOkGives5) {
    handlers.push_back([](cardsim::CardSimulator& sim, cardsim::Port port, const std::string&,
                          const std::string& upper) {
        if (upper != "AT+VBOTH")
            return false;
        sim.reply(port, "\r\n+CME ERROR: 3\r\n\r\nOK\r\n");
        return true;
    });
    startCard();
    std::string answer;
    EXPECT_EQ(send("AT+VBOTH", &answer), kAtError);
    EXPECT_NE(answer.find("OK"), std::string::npos);
    EXPECT_EQ(countLogged(L"Error on AT+VBOTH"), 1u);
    EXPECT_STREQ(engine.lastError(), "Send AT command 'AT+VBOTH' failed.");
}

TEST_F(AtEngineOnCard, UnknownCommandIsAnsweredError) {
    startCard();
    std::string answer;
    EXPECT_EQ(send("AT+NOSUCH", &answer), kAtError);
    EXPECT_NE(answer.find("ERROR"), std::string::npos);
}

TEST_F(AtEngineOnCard, SilentDeviceGivesResult3AfterSixteenReads) {
    auto options = this->options();
    options.faults.silent = true;
    startCard(options);
    const uint64_t start = platform::tickMs();
    EXPECT_EQ(send("AT_VISOV?"), kAtNoAnswer);
    const uint64_t elapsed = platform::tickMs() - start;
    EXPECT_EQ(countLogged(L"resp_index: 0, retries: "), 16u);
    EXPECT_EQ(countLogged(L"Nothing to read after AT_VISOV?"), 1u);
    EXPECT_STREQ(engine.lastError(), "Send AT command 'AT_VISOV?' failed, ");
    // 16 × (100 ms delay + 500 ms read) and the closing pause; the upper bound only tells a
    // wait that never ends from one that a loaded machine stretched.
    EXPECT_GE(elapsed, 16u * 600u);
    EXPECT_LT(elapsed, 16u * 600u + 30000u);
}

TEST_F(AtEngineOnCard, FourFailedWritesGiveResult2) {
    startCard();
    library().shareLogger();
    PortGuard port;
    ASSERT_EQ(openDevicePort(app.c_str(), diag.c_str(), port.handle), 0);
    const int generation = card->presence().generation;
    card->stop();
    ASSERT_TRUE(card->waitForDeparture(generation, 5000));
    engine.takeLoggerOf(sharedLogger());
    EXPECT_EQ(engine.sendCommand(port.handle, "ATI", nullptr, 0), kAtWriteFailed);
    EXPECT_EQ(countLogged(L"Unable to write AT command 'ATI', error: Write port not possible: "
                          L"Error no. 1167"),
              4u);
    EXPECT_EQ(countLogged(L"Send AT command 'ATI'"), 4u);
    EXPECT_EQ(countLogged(L"resp_index"), 0u);
}

TEST_F(AtEngineOnCard, FullAnswerWithoutFinalCodeEndsWithResult3) {
    handlers.push_back([](cardsim::CardSimulator& sim, cardsim::Port port, const std::string&,
                          const std::string& upper) {
        if (upper != "AT+VLONG")
            return false;
        sim.reply(port, std::string(1100, 'x'));
        return true;
    });
    startCard();
    EXPECT_EQ(send("AT+VLONG"), kAtNoAnswer);
    EXPECT_EQ(countLogged(L"resp_index: 1023, retries: "), 16u)
        << "the full buffer asks for zero bytes sixteen times";
}

TEST_F(AtEngineOnCard, EchoCanBeSwitchedOff) {
    startCard();
    library().shareLogger();
    PortGuard port;
    ASSERT_EQ(openDevicePort(app.c_str(), diag.c_str(), port.handle), 0);
    engine.takeLoggerOf(sharedLogger());
    EXPECT_EQ(engine.setEcho(port.handle, false), kAtOk);
    EXPECT_EQ(countLogged(L"Send At Command 'ATE0' succeed"), 1u);
    char answer[kAtBufferSize] = {};
    EXPECT_EQ(engine.sendCommand(port.handle, "AT%MODE?", answer, sizeof answer), kAtOk);
    EXPECT_STREQ(answer, "\r\n%MODE: 0\r\n\r\nOK\r\n");
}

TEST_F(AtEngineOnCard, ErrorAnswerToAGivenCommandIsReportedWithTheCommand) {
    auto options = this->options();
    options.faults.errorCommands = {"AT_VLMC?"};
    startCard(options);
    library().shareLogger();
    PortGuard port;
    ASSERT_EQ(openDevicePort(app.c_str(), diag.c_str(), port.handle), 0);
    engine.takeLoggerOf(sharedLogger());
    char text[kAtBufferSize] = {};
    EXPECT_EQ(engine.readLmCode(port.handle, text), kAtError);
    EXPECT_EQ(engine.lastResult(), kAtError);
    EXPECT_EQ(countLogged(L"Send At Command 'AT_VLMC?' failed, error: 5, "), 1u);
    EXPECT_STREQ(engine.lastError(),
                 "Send AT command 'AT_VLMC?' failed: Send AT command 'AT_VLMC?' failed.");
}

// The programming-message handler sees every piece in programming mode and may accept it.
bool acceptProgress(AtEngine&, const char* text) {
    return std::strstr(text, "%PROG:") != nullptr;
}

TEST_F(AtEngineOnCard, ProgrammingModeHandsEveryMessageToTheHandler) {
    handlers.push_back([](cardsim::CardSimulator& sim, cardsim::Port port, const std::string&,
                          const std::string& upper) {
        if (upper != "AT+VPROG")
            return false;
        for (int percent = 0; percent <= 100; percent += 50) {
            sim.reply(port, "\r\n%PROG: " + std::to_string(percent) + "\r\n");
            platform::sleepMs(10500);
        }
        sim.reply(port, "\r\nOK\r\n");
        return true;
    });
    startCard();
    library().shareLogger();
    PortGuard port;
    ASSERT_EQ(openDevicePort(app.c_str(), diag.c_str(), port.handle), 0);
    engine.takeLoggerOf(sharedLogger());
    engine.setEcho(port.handle, false);
    engine.setProgrammingMode(nullptr, nullptr, acceptProgress);
    char answer[kAtBufferSize] = {};
    EXPECT_EQ(engine.sendCommand(port.handle, "AT+VPROG", answer, sizeof answer), kAtOk);
    engine.endProgrammingMode();
    EXPECT_FALSE(engine.programming());
    EXPECT_STREQ(answer, "\r\nOK\r\n") << "accepted messages are not kept";
}

} // namespace
