// `kestrel --check` against the card simulator: the card is detected and checked as an update
// would check it, nothing is flashed, and the run ends with one summary line and the exit code
// of an update. Also the summary of a run that found no card.

#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace kestrel_binary;

const char* const kCurrentCard =
    R"({"revision": "3.19.0", "date": "Mar 16 2010", "time": "15:03:03", "softwareVersion": "2.1.0"})";
const char* const kOlderCard =
    R"({"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00", "softwareVersion": "2.1.0"})";
const char* const kSameFirmwareCaution =
    "The firmware to be installed is the same as the installed version.";
const char* const kNoCard = "No supported card found, or the card went away.";

class KestrelCheck : public KestrelBinary {
protected:
    void startCardIn(const std::string& state, std::vector<std::string> options = {}) {
        writeFile(root / "card-state.json", state);
        options.insert(options.begin(), {"--state", (root / "card-state.json").string()});
        startCard(options);
    }
    std::string cardState() { return readFile(root / "card-state.json"); }
    nlohmann::json jsonOf(const ProcessRun& run) {
        EXPECT_EQ(std::count(run.standardOutput.begin(), run.standardOutput.end(), '\n'), 1)
            << run.output;
        return nlohmann::json::parse(run.standardOutput, nullptr, false);
    }
};

TEST_F(KestrelCheck, OlderCardWouldHaveItsFirmwareFlashedAndIsLeftAsItWas) {
    startCardIn(kOlderCard);
    const std::string before = cardState();
    const ProcessRun run = kestrel({"--check", "-l", "-p", codePath(), "--json", "-"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(codeFile(), "0\n");
    const std::string logPath = (root / "sysroot/var/log" / kLogName).string();
    EXPECT_EQ(run.standardError,
              "kestrel: check result 0 (0x00000000) \"The card can be updated.\", exit category 0, "
              "firmware 3.18.2, package 3.19.0, would flash firmware, log " +
                  logPath + "\n");
    const nlohmann::json result = jsonOf(run);
    EXPECT_EQ(result["result"], 0);
    EXPECT_EQ(result["wouldUpdate"], (nlohmann::json{{"firmware", true}, {"software", false}}));
    EXPECT_EQ(result["cautions"], nlohmann::json::array());
    EXPECT_EQ(result["refusal"], nullptr);
    EXPECT_EQ(result["card"]["model"], "QT0880");
    EXPECT_EQ(result["firmwareBefore"], "3.18.2");

    // Detected and read as an update would (service stopped and started again), nothing sent
    // that changes the card: no mode change, no record.
    const std::string text = log();
    EXPECT_NE(text.find("Execution mode is execNoInterface"), std::string::npos);
    EXPECT_NE(text.find("Read software version from device"), std::string::npos);
    EXPECT_EQ(text.find("Beginning device update"), std::string::npos) << text;
    EXPECT_FALSE(registryWritten());
    EXPECT_EQ(cardState(), before) << "the card's firmware state is untouched";
    EXPECT_NE(readFile(root / "services.json").find("running"), std::string::npos)
        << "the service is started again at the end";
}

TEST_F(KestrelCheck, CurrentCardIsUpToDateWithTheUpdatePagesCaution) {
    startCardIn(kCurrentCard);
    // On batteries, as the update page would caution too.
    writeFile(root / "power.json", R"({"acOnline": false, "batteryPercent": 60})");
    const ProcessRun run = kestrel({"--check", "--json", "-"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.standardError.find("\"The card is up to date: an update would flash nothing.\""),
              std::string::npos)
        << run.standardError;
    EXPECT_NE(run.standardError.find("would flash nothing"), std::string::npos);
    const nlohmann::json result = jsonOf(run);
    EXPECT_EQ(result["wouldUpdate"], (nlohmann::json{{"firmware", false}, {"software", false}}));
    ASSERT_EQ(result["cautions"].size(), 2u) << result.dump();
    EXPECT_EQ(result["cautions"][0], kSameFirmwareCaution);
    EXPECT_NE(result["cautions"][1].get<std::string>().find("running on batteries"),
              std::string::npos);
    EXPECT_FALSE(registryWritten());
}

TEST_F(KestrelCheck, CardInRecoveryWouldHaveItsFirmwareRestoredWithTheRecoveryCaution) {
    startCardIn(kCurrentCard, {"--start-mode", "1"});
    const ProcessRun run = kestrel({"--check", "--json", "-"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const nlohmann::json result = jsonOf(run);
    EXPECT_EQ(result["wouldUpdate"], (nlohmann::json{{"firmware", true}, {"software", false}}));
    ASSERT_EQ(result["cautions"].size(), 1u) << result.dump();
    EXPECT_EQ(
        result["cautions"][0].get<std::string>().rfind("Your device is in a recovery state", 0),
        0u);
    EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos)
        << "the card is left in its recovery state, unflashed";
}

TEST_F(KestrelCheck, TwoPassProductWouldHaveFirmwareAndSoftwareFlashed) {
    startCardIn(kOlderCard, {"--profile", "QT0880-D055"});
    const ProcessRun run = kestrel({"--check", "--json", "-"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.standardError.find("would flash firmware and software"), std::string::npos)
        << run.standardError;
    EXPECT_EQ(jsonOf(run)["wouldUpdate"], (nlohmann::json{{"firmware", true}, {"software", true}}));
}

TEST_F(KestrelCheck, UnsupportedCardIsRefusedWith258AndCategory2) {
    startCard({"--wrong-lm-code"});
    const ProcessRun run = kestrel({"--check", "-p", codePath(), "--json", "-"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(codeFile(), "258\n");
    EXPECT_EQ(run.standardError,
              "kestrel: check result 258 (0x00000102) \"Your device is not supported by this "
              "application.\", exit category 2, firmware 3.18.2\n");
    const nlohmann::json result = jsonOf(run);
    EXPECT_EQ(result["refusal"], 258);
    EXPECT_EQ(result["wouldUpdate"], nullptr);
}

TEST_F(KestrelCheck, NoCardIsDescribedAsNoCardForTheCheckAndTheUpdateAlike) {
    // No display either: the check and -q run without one.
    unsetVariables.push_back("DISPLAY");
    unsetVariables.push_back("WAYLAND_DISPLAY");
    const ProcessRun check = kestrel({"--check", "--json", "-"});
    EXPECT_EQ(check.exitCode, 4) << check.output;
    EXPECT_EQ(check.standardError, "kestrel: check result 259 (0x00000103) \"" +
                                       std::string(kNoCard) +
                                       "\", exit category 4, firmware unknown\n");
    const nlohmann::json result = jsonOf(check);
    EXPECT_EQ(result["description"], kNoCard);
    EXPECT_EQ(result["refusal"], 259);
    EXPECT_EQ(result["card"], nullptr);

    const ProcessRun update = kestrel({"-q", "--json", "-"});
    EXPECT_EQ(update.exitCode, 4) << update.output;
    EXPECT_EQ(update.standardError, "kestrel: result 259 (0x00000103) \"" + std::string(kNoCard) +
                                        "\", exit category 4, firmware unknown -> unknown\n");
    EXPECT_EQ(jsonOf(update)["description"], kNoCard);
}

TEST_F(KestrelCheck, HelpListsTheCheckAndTheRecording) {
    const ProcessRun run = kestrel({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.standardOutput.find("--check"), std::string::npos) << run.standardOutput;
    EXPECT_NE(run.standardOutput.find("--record"), std::string::npos) << run.standardOutput;
}

TEST_F(KestrelCheck, PlainUserRelaunchesTheCheckAndItsRecordingElevated) {
    startCardIn(kOlderCard);
    const fs::path elevate = root / "elevate.sh";
    std::ofstream(elevate) << "#!/bin/sh\necho \"$@\" > \"$KESTREL_SIM_ROOT/elevated.txt\"\n"
                              "exec env KESTREL_ADMINISTRATOR=1 \"$@\"\n";
    fs::permissions(elevate, fs::perms::owner_all);
    environment["KESTREL_ADMINISTRATOR"] = "0";
    environment["KESTREL_ELEVATION_COMMAND"] = elevate.string();
    const fs::path recording = root / "check.json";
    const ProcessRun run = kestrel({"--check", "--record", recording.string()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(readFile(root / "elevated.txt"),
              std::string(KESTREL_BINARY) + " -q --check --record " + recording.string() + "\n");
    const nlohmann::json file = nlohmann::json::parse(readFile(recording), nullptr, false);
    ASSERT_FALSE(file.is_discarded());
    EXPECT_EQ(file["result"], 0) << "the elevated run's recording, not the relauncher's";
    EXPECT_FALSE(file["events"].empty());
    EXPECT_EQ(std::count(run.standardError.begin(), run.standardError.end(), '\n'), 1)
        << "one summary line, the elevated run's: " << run.standardError;
}

} // namespace
