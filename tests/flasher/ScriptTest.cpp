// Customisation scripts through FfPostFlash against the simulated card.

#include "FlashTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace flashtest;

namespace {

const std::string kDefaultScript =
    "<post_customization><mode>modem</mode><at_cmd>at+cfun=0</at_cmd><at_cmd>at+cfun=4</at_cmd>"
    "<at_cmd>at_vhspacat=10,6</at_cmd></post_customization>\r\n";

using ScriptTest = FlashingCard;

std::vector<std::string> without(std::vector<std::string> commands, const std::string& prefix) {
    commands.erase(std::remove_if(commands.begin(), commands.end(),
                                  [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }),
                   commands.end());
    return commands;
}

// What the card received, mode queries left out.
std::vector<std::string> sentCommands(const cardsim::CardSimulator& card) {
    return without(card.receivedCommands(), "AT%MODE?");
}

TEST_F(ScriptTest, DefaultScriptOnAModemSendsItsThreeCommandsWithoutModeChange) {
    startFlashingCard(0, loaderOptions());
    const int generation = card->presence().generation;
    EXPECT_EQ(postFlash(kDefaultScript), 0u) << lastError();
    EXPECT_EQ(sentCommands(*card),
              (std::vector<std::string>{"at+cfun=0", "at+cfun=4", "at_vhspacat=10,6"}));
    EXPECT_EQ(card->presence().generation, generation);
    EXPECT_GE(testing_support::countLogged(L"AT command 'at+cfun=4' sent"), 1u);
}

TEST_F(ScriptTest, ModeChangeStopsTheRunAndTheNextCallResumesAfterIt) {
    startFlashingCard(0, loaderOptions());
    const std::string script = "<s><!-- to the loader --><mode> Loader </mode>"
                               "<at_cmd>ATI</at_cmd></s>";
    const int generation = card->presence().generation;
    EXPECT_EQ(postFlash(script), 0x10000003u);
    EXPECT_EQ(without(card->receivedCommands(), "AT%MODE?"), std::vector<std::string>{"AT%MODE=1"});
    ASSERT_TRUE(awaitReturn(generation));
    card->clearReceivedCommands();
    EXPECT_EQ(postFlash(script), 0u) << lastError();
    EXPECT_EQ(card->receivedCommands(), std::vector<std::string>{"ATI"})
        << "the mode element is not run again";
    card->clearReceivedCommands();
    EXPECT_EQ(postFlash(script), 0u) << "a completed run starts afresh: the mode is right now";
    EXPECT_EQ(card->receivedCommands(), (std::vector<std::string>{"AT%MODE?", "ATI"}));
}

TEST_F(ScriptTest, CommandAnsweredErrorFailsAndTheNextCallStartsFromTheBeginning) {
    startFlashingCard(0, loaderOptions());
    cardsim::CardFaults faults;
    faults.errorCommands = {"AT+CFUN=4"};
    card->setFaults(faults);
    EXPECT_EQ(postFlash(kDefaultScript), 0x20000062u);
    EXPECT_NE(lastError().find("AT command 'at+cfun=4' failed"), std::string::npos) << lastError();
    EXPECT_EQ(sentCommands(*card), (std::vector<std::string>{"at+cfun=0", "at+cfun=4"}));

    card->setFaults(cardsim::CardFaults{});
    card->clearReceivedCommands();
    EXPECT_EQ(postFlash(kDefaultScript), 0u);
    EXPECT_EQ(sentCommands(*card),
              (std::vector<std::string>{"at+cfun=0", "at+cfun=4", "at_vhspacat=10,6"}));
}

TEST_F(ScriptTest, WordsAreJoinedAndTypedContentIsIgnored) {
    startFlashingCard(0, loaderOptions());
    const std::string script = "<?xml version=\"1.0\"?><s><at_cmd>\n  at+cgdcont=1,\"IP\"\n"
                               "   \"internet\"  </at_cmd><at_cmd>AT+CFUN=1<opaque>AT+NO</opaque>"
                               "<n type=\"integer\">5</n></at_cmd>"
                               "<note>at_cmd text here does nothing</note>"
                               "<![CDATA[<at_cmd>AT+NO</at_cmd>]]></s>";
    EXPECT_EQ(postFlash(script), 0u) << lastError();
    EXPECT_EQ(sentCommands(*card),
              (std::vector<std::string>{"at+cgdcont=1,\"IP\" \"internet\"", "AT+CFUN=1"}));
}

TEST_F(ScriptTest, CommandTooLongForTheBufferRejectsTheScript) {
    startFlashingCard(0, loaderOptions());
    const std::string script = "<s><at_cmd>AT+CFUN=" + std::string(120, '1') + "</at_cmd></s>";
    EXPECT_EQ(postFlash(script), 0x20000062u);
    EXPECT_TRUE(sentCommands(*card).empty()) << "a cut command is never sent";
    const std::string fits = "<s><at_cmd>AT+CFUN=" + std::string(119, '1') + "</at_cmd></s>";
    EXPECT_EQ(postFlash(fits), 0u);
    EXPECT_EQ(sentCommands(*card).size(), 1u);
    const std::string longMode = "<s><mode>" + std::string(64, 'm') + "</mode></s>";
    EXPECT_EQ(postFlash(longMode), 0x20000062u);
}

TEST_F(ScriptTest, MalformedScriptEndsWithTheResultOfTheEventsBeforeTheFault) {
    startFlashingCard(0, loaderOptions());
    EXPECT_EQ(postFlash("<s><at_cmd>ATE1</at_cmd><at_cmd>ATI</s>"), 0u);
    EXPECT_EQ(sentCommands(*card), std::vector<std::string>{"ATE1"});
    EXPECT_GE(testing_support::countLogged(L"Script parse error"), 1u);
}

TEST_F(ScriptTest, TopLevelElementWithMalformedAttributesIsRejectedAndNothingIsSent) {
    // The parser gives up inside the first element; what it built by then is freed with the run
    // (the sanitizer build reports it otherwise).
    startFlashingCard(0, loaderOptions());
    EXPECT_EQ(postFlash("<post_customization d --><at_cmd>ATI</at_cmd></post_customization>"), 0u);
    EXPECT_TRUE(sentCommands(*card).empty());
    EXPECT_GE(testing_support::countLogged(L"Script parse error"), 1u);
    EXPECT_EQ(postFlash("<s x=\"1\"></s>"), 0u) << "a well-formed script runs afterwards";
    EXPECT_EQ(postFlash(" <s><at_cmd>ATI</at_cmd></s>"), 0u);
    EXPECT_TRUE(sentCommands(*card).empty()) << "a script must start with its first tag";
}

TEST_F(ScriptTest, ScriptInsideAPackageIsFoundAndRun) {
    startFlashingCard(0, loaderOptions());
    const tools::Bytes pck = packagetest::package(
        {tools::informationEntry(packagetest::kInfoText),
         packagetest::imageFile(packagetest::smallImage(40)),
         packagetest::textFile("<s><at_cmd>AT+CFUN=1</at_cmd></s>", 19, "custom.xml")});
    EXPECT_EQ(postFlash(std::string(pck.begin(), pck.end())), 0u) << lastError();
    EXPECT_EQ(sentCommands(*card), std::vector<std::string>{"AT+CFUN=1"});

    const tools::Bytes noScript = packagetest::smallPackage(40);
    EXPECT_EQ(postFlash(std::string(noScript.begin(), noScript.end())), 0x20000027u);
}

TEST_F(ScriptTest, ModeQueryFailureFailsTheScript) {
    EXPECT_EQ(FfPostFlash(L"QT0880", L"", L"", kDefaultScript.data(),
                          static_cast<uint32_t>(kDefaultScript.size()), nullptr, nullptr),
              0x20000063u);
}

} // namespace
