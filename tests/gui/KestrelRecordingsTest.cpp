// The regression set of recorded cards (tests/gui/data/recordings: every simulator profile,
// and real cards' recordings as they come): each replays to its recorded result through its
// recorded dialogue, with no divergence.

#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace kestrel_binary;

std::vector<std::string> recordings() {
    std::vector<std::string> names;
    const fs::path folder = fs::path(KESTREL_SOURCE_DIR) / "tests/gui/data/recordings";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".json")
            names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What kestrel sent, in order; a status poll repeats as often as the card's timing needs, so a
// run of the same command counts once.
std::vector<std::string> sent(const nlohmann::json& recording) {
    std::vector<std::string> writes;
    for (const auto& event : recording["events"]) {
        if (event["event"] != "write")
            continue;
        const std::string write = event.contains("frame")
                                      ? event["frame"].dump()
                                      : event.value("text", event.value("hex", std::string()));
        if (writes.empty() || writes.back() != write || event.contains("frame"))
            writes.push_back(write);
    }
    return writes;
}

// Where two dialogues part, for the message of a failed comparison.
std::string firstDifference(const std::vector<std::string>& replayed,
                            const std::vector<std::string>& recorded) {
    size_t at = 0;
    while (at < replayed.size() && at < recorded.size() && replayed[at] == recorded[at])
        ++at;
    const auto item = [at](const std::vector<std::string>& writes) {
        return at < writes.size() ? writes[at] : std::string("(nothing more)");
    };
    return "the dialogues part at write " + std::to_string(at) + ": replayed " + item(replayed) +
           ", recorded " + item(recorded);
}

class RecordedCard : public KestrelBinary, public ::testing::WithParamInterface<std::string> {};

TEST_P(RecordedCard, ReplaysToItsRecordedResultWithoutDivergence) {
    const fs::path file =
        fs::path(KESTREL_SOURCE_DIR) / "tests/gui/data/recordings" / (GetParam() + ".json");
    const nlohmann::json recorded = nlohmann::json::parse(readFile(file), nullptr, false);
    ASSERT_FALSE(recorded.is_discarded());
    ASSERT_TRUE(recorded["result"].is_number_integer());
    startCard({"--replay", file.string()});
    const fs::path again = root / "replayed.json";
    const ProcessRun run =
        kestrel({"-q", "-l", "-p", codePath(), "--record", again.string()}, "90");
    unplugCard();
    const std::string card = cardOutput();
    const std::string code = codeFile();
    EXPECT_EQ(code, std::to_string(recorded["result"].get<int>()) + "\n")
        << run.output << log() << card;
    EXPECT_NE(card.find("stopped, 0 divergence(s)"), std::string::npos) << card;
    const nlohmann::json replayed = nlohmann::json::parse(readFile(again), nullptr, false);
    ASSERT_FALSE(replayed.is_discarded());
    const std::vector<std::string> replayedWrites = sent(replayed);
    const std::vector<std::string> recordedWrites = sent(recorded);
    EXPECT_EQ(replayedWrites, recordedWrites) << firstDifference(replayedWrites, recordedWrites);
}

INSTANTIATE_TEST_SUITE_P(Recordings, RecordedCard, ::testing::ValuesIn(recordings()),
                         [](const ::testing::TestParamInfo<std::string>& name) {
                             std::string text = name.param;
                             for (char& c : text) {
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             }
                             return text;
                         });

} // namespace
