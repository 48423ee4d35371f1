#include "tests/support/EndToEndSupport.h"

#include "sim/CardProfile.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace e2e {
namespace {

// What an update of a card of one simulator profile ends in.
enum class Outcome {
    // Flashed to the package's firmware: result 0.
    updated,
    // A card whose product code the package does not support: the check refuses it with 258.
    refused,
    // A driver that exposes no application port: the card never completes detection, so the
    // updater keeps waiting for a usable card and is closed without one (result 0, no update).
    neverOffered,
};

struct ProfileRun {
    const char* profile;
    Outcome outcome;
};

const ProfileRun kProfileRuns[] = {
    {"QT0880", Outcome::updated},
    {"QT0880-diagnostic-only", Outcome::neverOffered},
    {"QT0880-D055", Outcome::updated},
    {"QT0880-composite", Outcome::updated},
    {"QT0880-D055-composite", Outcome::updated},
    {"WM770", Outcome::refused},
    {"GT300", Outcome::refused},
    {"MX720", Outcome::refused},
    {"WX500", Outcome::refused},
    {"SC650", Outcome::refused},
};

void PrintTo(const ProfileRun& run, std::ostream* out) {
    *out << run.profile;
}

std::string testName(const ::testing::TestParamInfo<ProfileRun>& info) {
    std::string name = info.param.profile;
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

TEST(SimulatorProfileRuns, EverySimulatorProfileHasAnExpectedOutcome) {
    std::set<std::string> listed;
    for (const ProfileRun& run : kProfileRuns)
        listed.insert(run.profile);
    for (const cardsim::CardProfile& profile : cardsim::cardProfiles())
        EXPECT_EQ(listed.count(profile.name), 1u) << profile.name;
    EXPECT_EQ(listed.size(), cardsim::cardProfiles().size());
}

// The card arrives after the updater has started and waits for it, one release behind the
// package, so that its detection goes through the library's arrival events.
class SimulatorProfileRun : public EndToEndTest, public ::testing::WithParamInterface<ProfileRun> {
protected:
    RunResult runWithCardArrivingLate() {
        bool cardStarted = false;
        return runUpdater({}, [&](const std::string& line) {
            if (line == "window 1" && !cardStarted) {
                cardStarted = true;
                startCard({"--profile", GetParam().profile}, kOlderCard);
            }
        });
    }
    // A card that can never be used would keep the updater waiting: it is plugged in first, and
    // the updater is told to end when it finds no usable card.
    RunResult runWithCardPresentAndQuitWithoutUsableCard() {
        startCard({"--profile", GetParam().profile}, kOlderCard);
        EXPECT_TRUE(testsupport::waitForCardSimulator(root, simulator->id(), kCardStartLimit));
        return runUpdater({"--quit-without-card"});
    }

    static constexpr std::chrono::milliseconds kCardStartLimit{5000};
};

TEST_P(SimulatorProfileRun, UpdateEndsInTheResultItsCardShouldGet) {
    const RunResult run = GetParam().outcome == Outcome::neverOffered
                              ? runWithCardPresentAndQuitWithoutUsableCard()
                              : runWithCardArrivingLate();
    ASSERT_FALSE(run.timedOut) << run.text();
    EXPECT_NE(run.value("result"), "277") << "a detection time-out\n" << run.text();
    switch (GetParam().outcome) {
    case Outcome::updated:
        EXPECT_EQ(run.value("result"), "0") << run.text();
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_TRUE(run.has("progress 10 0")) << run.text();
        EXPECT_EQ(run.value("firmware"), "previous=3.18.2 current=3.19.0") << run.text();
        EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos) << cardState();
        break;
    case Outcome::refused:
        EXPECT_EQ(run.value("result"), "258") << run.text();
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_TRUE(run.has("window 3")) << run.text();
        EXPECT_FALSE(run.has("progress 2 0")) << "no update starts\n" << run.text();
        break;
    case Outcome::neverOffered:
        EXPECT_EQ(run.value("result"), "0") << run.text();
        EXPECT_FALSE(run.has("window 2")) << run.text();
        EXPECT_FALSE(run.has("progress 2 0")) << run.text();
        EXPECT_NE(cardState().find("\"revision\": \"3.18.2\""), std::string::npos) << cardState();
        break;
    }
    EXPECT_NE(services().find("\"CmxService\": \"running\""), std::string::npos) << services();
}

INSTANTIATE_TEST_SUITE_P(EveryProfile, SimulatorProfileRun, ::testing::ValuesIn(kProfileRuns),
                         testName);

} // namespace
} // namespace e2e
