// `kestrel --record` against the card simulator and `kestrel-cardsim --replay` of what it
// recorded: the replayed card leads the same kestrel to the same result, through the same
// commands and frames, to the same registry record; a changed package diverges where its frames
// change and ends with the flashing library's code, not a hang.

#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace kestrel_binary;

const char* const kOlderCard =
    R"({"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00", "softwareVersion": "2.1.0"})";
constexpr size_t kWholeUpdateLimit = 200 * 1024;
constexpr int kTransmissionFailure = 0x2000004D;
constexpr int kProgrammingFailure = 0x20000001;

struct Session {
    int exitCode = -1;
    std::string code;
    std::string registry;
    nlohmann::json recording;
    std::string cardOutput;
};

class KestrelReplay : public KestrelBinary {
protected:
    fs::path registryFile() { return root / "sysroot/var/lib/kestrel/registry.txt"; }

    // One kestrel -q run against the card started last, recorded into `name`; the card is
    // unplugged afterwards and the machine's record cleared for the next run.
    Session runRecorded(const std::string& name) {
        const fs::path file = root / name;
        const ProcessRun run = kestrel({"-q", "-l", "-p", codePath(), "--record", file.string()});
        Session session;
        session.exitCode = run.exitCode;
        session.code = codeFile();
        session.registry = readFile(registryFile());
        session.recording = nlohmann::json::parse(readFile(file), nullptr, false);
        EXPECT_FALSE(session.recording.is_discarded()) << run.output;
        unplugCard();
        session.cardOutput = cardOutput();
        std::error_code ignored;
        fs::remove(registryFile(), ignored);
        return session;
    }

    Session recordAgainstSimulator(std::vector<std::string> options = {}) {
        writeFile(root / "card-state.json", kOlderCard);
        options.insert(options.begin(), {"--state", (root / "card-state.json").string()});
        startCard(options);
        return runRecorded("recorded.json");
    }

    Session replay() {
        startCard({"--replay", (root / "recorded.json").string()});
        return runRecorded("replayed.json");
    }

    // What kestrel sent, in order: each command's text and each frame's summary. A status poll
    // repeats as often as the card's timing needs, so a run of the same command counts once.
    static std::vector<std::string> sent(const nlohmann::json& recording) {
        std::vector<std::string> writes;
        for (const auto& event : recording["events"]) {
            if (event["event"] != "write")
                continue;
            const std::string write =
                event.contains("frame") ? event["frame"].dump() : event["text"].get<std::string>();
            if (writes.empty() || writes.back() != write || event.contains("frame"))
                writes.push_back(write);
        }
        return writes;
    }

    void expectSameSession(const Session& recorded, const Session& replayed) {
        EXPECT_EQ(replayed.exitCode, recorded.exitCode);
        EXPECT_EQ(replayed.code, recorded.code);
        EXPECT_EQ(replayed.registry, recorded.registry);
        EXPECT_EQ(sent(replayed.recording), sent(recorded.recording));
        EXPECT_NE(replayed.cardOutput.find("stopped, 0 divergence(s)"), std::string::npos)
            << replayed.cardOutput;
    }
};

TEST_F(KestrelReplay, WholeUpdateRecordsSmallAndReplaysAlike) {
    const Session recorded = recordAgainstSimulator();
    ASSERT_EQ(recorded.exitCode, 0);
    const nlohmann::json& file = recorded.recording;
    EXPECT_EQ(file["format"], "kestrel-session");
    EXPECT_EQ(file["version"], 1);
    EXPECT_EQ(file["kestrelVersion"], "1.0.0.272");
    EXPECT_EQ(file["package"]["firmware"], "3.19.0");
    EXPECT_EQ(file["result"], 0);
    EXPECT_LT(readFile(root / "recorded.json").size(), kWholeUpdateLimit);

    // The card's tree at each arrival: the simulator's composite device with its two ports,
    // the USB serial number hidden, each port named by its role.
    size_t arrivals = 0;
    size_t departures = 0;
    for (const auto& event : file["events"]) {
        arrivals += event["event"] == "arrival";
        departures += event["event"] == "departure";
    }
    EXPECT_EQ(arrivals, 3u) << "at the start, in loader mode and after programming";
    EXPECT_EQ(departures, 2u);
    const auto& nodes = file["trees"][0]["nodes"];
    ASSERT_EQ(nodes.size(), 3u) << file["trees"][0].dump();
    EXPECT_EQ(nodes[0]["instanceId"], "USB\\VID_1234&PID_5678\\0000");
    EXPECT_EQ(nodes[0]["hardwareIds"][0], "USB\\VID_1234&PID_5678&REV_0001");
    EXPECT_EQ(readFile(root / "recorded.json").find("#0001#"), std::string::npos);
    std::set<std::string> roles;
    for (const auto& port : file["ports"])
        roles.insert(port["role"].get<std::string>());
    EXPECT_EQ(roles, (std::set<std::string>{"Velmar Application Interface",
                                            "Velmar Diagnostics Interface"}));

    // The download is its frames' summaries with the card's acknowledgements.
    size_t frames = 0;
    for (const auto& event : file["events"])
        frames += event.contains("frame");
    EXPECT_EQ(frames, 55u) << "the StartDownload request and 54 blocks";

    expectSameSession(recorded, replay());
}

TEST_F(KestrelReplay, RejectedBlocksReplayWithTheirRejections) {
    const Session recorded =
        recordAgainstSimulator({"--reject-block", "3", "--reject-block-times", "2"});
    ASSERT_EQ(recorded.exitCode, 0) << recorded.code;
    expectSameSession(recorded, replay());
}

TEST_F(KestrelReplay, ProgrammingErrorReplaysToTheSameFailure) {
    const Session recorded =
        recordAgainstSimulator({"--programming-error", "ERROR: flash write failed"});
    EXPECT_EQ(recorded.code, std::to_string(kProgrammingFailure) + "\n");
    EXPECT_EQ(recorded.recording["result"], kProgrammingFailure);
    expectSameSession(recorded, replay());
}

TEST_F(KestrelReplay, ChangedPackageDivergesAtItsFirstChangedFrameAndEndsWithTheLibrarysCode) {
    const Session recorded = recordAgainstSimulator();
    ASSERT_EQ(recorded.exitCode, 0);

    // The same kestrel beside a package of firmware 3.20.0: its image differs from the first
    // block on.
    const fs::path folder = root / "bin";
    fs::create_directories(folder);
    std::string recipe = readFile(fs::path(KESTREL_SOURCE_DIR) / "resources/package/QT0880.recipe");
    std::string identity =
        readFile(fs::path(KESTREL_SOURCE_DIR) / "resources/package/firmware-identity.txt");
    const auto replace = [](std::string& text, const std::string& from, const std::string& to) {
        const size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
    };
    replace(recipe, "Revision: 3.19.0 (Date: Mar 16 2010", "Revision: 3.20.0 (Date: Apr 20 2010");
    replace(identity, "revision=3.19.0", "revision=3.20.0");
    writeFile(folder / "QT0880.recipe", recipe);
    writeFile(folder / "firmware-identity.txt", identity);
    ASSERT_EQ(program(KESTREL_PCK, {"build", (folder / "QT0880.recipe").string(),
                                    (folder / "Firmware.pck").string()})
                  .exitCode,
              0);
    fs::copy_file(KESTREL_BINARY, folder / "kestrel");
    kestrelProgram = folder / "kestrel";

    const auto started = std::chrono::steady_clock::now();
    const Session replayed = replay();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(50))
        << "bounded by the rejections, not by a wait for the card";
    EXPECT_EQ(replayed.code, std::to_string(kTransmissionFailure) + "\n");
    EXPECT_EQ(replayed.exitCode, 1);
    EXPECT_EQ(replayed.registry, "");
    EXPECT_NE(replayed.cardOutput.find("divergence: Velmar Diagnostics Interface: got data frame "
                                       "of 65280 bytes"),
              std::string::npos)
        << replayed.cardOutput;
    // Up to the download, the dialogue is the recorded one.
    const std::vector<std::string> before = sent(recorded.recording);
    const std::vector<std::string> after = sent(replayed.recording);
    const auto firstBlock = std::find_if(before.begin(), before.end(), [](const std::string& w) {
        return w.find("\"data\"") != std::string::npos;
    });
    const size_t common = static_cast<size_t>(firstBlock - before.begin());
    ASSERT_GE(after.size(), common);
    EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + common),
              std::vector<std::string>(before.begin(), firstBlock));
}

TEST_F(KestrelReplay, CommandTheRecordingDoesNotHoldIsAnsweredErrorAndLogged) {
    // A recording of a check only: the update's commands are not in it.
    writeFile(root / "card-state.json", kOlderCard);
    startCard({"--state", (root / "card-state.json").string()});
    const ProcessRun check = kestrel({"--check", "--record", (root / "recorded.json").string()});
    ASSERT_EQ(check.exitCode, 0) << check.output;
    unplugCard();
    const Session replayed = replay();
    EXPECT_NE(replayed.exitCode, 0);
    EXPECT_NE(replayed.cardOutput.find("which the recording does not hold"), std::string::npos)
        << replayed.cardOutput;
}

TEST_F(KestrelReplay, WindowedUnattendedRunRecordsAsTheQuietOneAndReplays) {
    writeFile(root / "card-state.json", kOlderCard);
    startCard({"--state", (root / "card-state.json").string()});
    const ProcessRun run = kestrel({"-u", "--record", (root / "recorded.json").string()});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    unplugCard();
    const nlohmann::json recording =
        nlohmann::json::parse(readFile(root / "recorded.json"), nullptr, false);
    ASSERT_FALSE(recording.is_discarded());
    EXPECT_EQ(recording["result"], 0);
    const Session replayed = replay();
    EXPECT_EQ(replayed.exitCode, 0);
    EXPECT_EQ(sent(replayed.recording), sent(recording));
}

TEST_F(KestrelReplay, RecordingThatCannotBeWrittenCostsOneWarningNotTheUpdate) {
    writeFile(root / "card-state.json", kOlderCard);
    startCard({"--state", (root / "card-state.json").string()});
    const fs::path blocked = root / "not-a-folder";
    writeFile(blocked, "a file where the recording's folder would be\n");
    const ProcessRun run =
        kestrel({"-q", "-p", codePath(), "--record", (blocked / "recorded.json").string()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_TRUE(registryWritten());
    const std::string warning = "kestrel: the recording could not be written to '";
    const size_t at = run.standardError.find(warning);
    EXPECT_NE(at, std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find(warning, at + 1), std::string::npos) << "one warning";
}

} // namespace
