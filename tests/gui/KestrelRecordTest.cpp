// The update record that `kestrel -q` leaves in the registry, and a package with nothing to
// flash, against the card simulator on a simulated machine of the test's own.

#include "KestrelBinaryFixture.h"
#include "tests/support/RegistryRecord.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>

namespace {

using namespace kestrel_binary;

// Card states: on the embedded package's firmware (3.19.0 of Mar 16 2010), and a release behind.
const char* const kCurrentCard =
    R"({"revision": "3.19.0", "date": "Mar 16 2010", "time": "15:03:03", "softwareVersion": "2.1.0"})";
const char* const kOlderCard =
    R"({"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00", "softwareVersion": "2.1.0"})";
constexpr int kPackageFormatError = 0x20000028;

class KestrelRecord : public KestrelBinary {
protected:
    // The card simulator starting from the firmware `state`.
    void startCard(const std::string& state, std::vector<std::string> options = {}) {
        writeFile(root / "card-state.json", state);
        options.insert(options.begin(), {"--state", (root / "card-state.json").string()});
        KestrelBinary::startCard(options);
    }

    // `kestrel -q -l -p FILE`, bounded so that a hang fails the test; its exit code.
    int runQuiet() {
        lastRun = kestrel({"-q", "-l", "-p", codePath()}, "90");
        return lastRun.exitCode;
    }

    std::string cardState() { return readFile(root / "card-state.json"); }
    std::string services() { return readFile(root / "services.json"); }

    // The value recorded for firmware version `name` ("dword:00000001"), or "" when none is.
    std::string recordOf(const std::string& name) {
        return testsupport::registryValue(readFile(root / "sysroot/var/lib/kestrel/registry.txt"),
                                          testsupport::kQt0880RecordKey, name);
    }

    ProcessRun lastRun;
};

TEST_F(KestrelRecord, FlashedFirmwareIsRecordedAs1) {
    startCard(kOlderCard);
    EXPECT_EQ(runQuiet(), 0) << lastRun.output;
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_EQ(recordOf("3.19.0"), "dword:00000001");
}

TEST_F(KestrelRecord, FirmwareThatIsAlreadyCurrentIsRecordedAs2) {
    startCard(kCurrentCard);
    EXPECT_EQ(runQuiet(), 0) << lastRun.output;
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_EQ(recordOf("3.19.0"), "dword:00000002");
}

TEST_F(KestrelRecord, TwoPassProductIsRecordedAs1) {
    startCard(kOlderCard, {"--profile", "QT0880-D055"});
    EXPECT_EQ(runQuiet(), 0) << lastRun.output;
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_EQ(recordOf("3.19.0"), "dword:00000001");
}

// The recovery update ends with 265 and the program repeats the update at once; the repeat
// finds the firmware current and flashes nothing, but the run did flash it.
class KestrelRecoveryRecord : public KestrelRecord, public ::testing::WithParamInterface<int> {};

TEST_P(KestrelRecoveryRecord, RecoveryAndItsRepeatAreRecordedAs1) {
    startCard(kOlderCard, {"--start-mode", std::to_string(GetParam())});
    EXPECT_EQ(runQuiet(), 0) << lastRun.output;
    EXPECT_EQ(codeFile(), "0\n");
    const std::string text = log();
    EXPECT_NE(text.find("Device update is complete (error 265)"), std::string::npos);
    EXPECT_NE(text.find("Device update is complete (error 0)"), std::string::npos);
    EXPECT_NE(cardState().find("\"revision\": \"3.19.0\""), std::string::npos) << cardState();
    EXPECT_EQ(recordOf("3.19.0"), "dword:00000001");
}

INSTANTIATE_TEST_SUITE_P(StartMode, KestrelRecoveryRecord, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& mode) {
                             return mode.param == 1 ? std::string("loaderMode")
                                                    : std::string("factoryTestMode");
                         });

// A copy of kestrel with, beside it, the embedded package whose one image has its file type
// changed from 9 to `fileType`: the package still reads as firmware 3.19.0, but the selection
// finds no firmware image in it.
class KestrelPackageWithoutFirmwareImage : public KestrelRecord,
                                           public ::testing::WithParamInterface<int> {
protected:
    void useKestrelBesidePackage(uint8_t fileType) {
        constexpr size_t kMainHeaderSize = 17;
        constexpr size_t kEntryHeaderSize = 12;
        constexpr size_t kPayloadSizeOffset = 4;
        constexpr size_t kFileTypeOffset = 516;
        std::ifstream in(KESTREL_PACKAGE_FILE, std::ios::binary);
        std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        uint32_t infoSize = 0;
        for (size_t byte = 0; byte < sizeof infoSize; ++byte)
            infoSize |= uint32_t(uint8_t(bytes.at(kMainHeaderSize + kPayloadSizeOffset + byte)))
                        << (8 * byte);
        const size_t typeOffset =
            kMainHeaderSize + kEntryHeaderSize + infoSize + kEntryHeaderSize + kFileTypeOffset;
        EXPECT_EQ(bytes.at(typeOffset), 9);
        bytes.at(typeOffset) = static_cast<char>(fileType);
        const fs::path folder = root / "bin";
        fs::create_directories(folder);
        std::ofstream(folder / "Firmware.pck", std::ios::binary)
            .write(bytes.data(), std::streamsize(bytes.size()));
        fs::copy_file(KESTREL_BINARY, folder / "kestrel");
        kestrelProgram = folder / "kestrel";
    }
};

TEST_P(KestrelPackageWithoutFirmwareImage, FailsWithTheFormatErrorAndLeavesTheCardAlone) {
    useKestrelBesidePackage(static_cast<uint8_t>(GetParam()));
    startCard(kOlderCard);
    EXPECT_EQ(runQuiet(), 1) << lastRun.output;
    EXPECT_EQ(codeFile(), std::to_string(kPackageFormatError) + "\n");
    const std::string text = log();
    EXPECT_NE(
        text.find("Device update is complete (error " + std::to_string(kPackageFormatError) + ")"),
        std::string::npos);
    EXPECT_EQ(text.find("FfPreFlash"), std::string::npos) << "the card never left modem mode";
    EXPECT_NE(cardState().find("\"revision\": \"3.18.2\""), std::string::npos) << cardState();
    EXPECT_EQ(recordOf("3.19.0"), "");
    EXPECT_NE(services().find("running"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ImageType, KestrelPackageWithoutFirmwareImage, ::testing::Values(3, 11),
                         [](const ::testing::TestParamInfo<int>& type) {
                             return "type" + std::to_string(type.param);
                         });

} // namespace
