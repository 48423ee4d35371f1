#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

namespace {

using namespace kestrel_binary;

constexpr const char* kDownloadStarted = "Send At Command: AT%LOAD succeed";

// kestrel -q on a simulated machine whose ModemManager knows the card's modem.
class KestrelModemManager : public KestrelBinary {
protected:
    void SetUp() override {
        KestrelBinary::SetUp();
        std::ofstream(root / "modemmanager.json")
            << "{\"modems\": [{\"device\": \"card-uid\", \"physdev\": "
               "\"/sys/devices/pci0000:00/0000:00:14.0/usb1/0001\", \"inhibited\": false}]}\n";
    }
    bool inhibited() {
        return readFile(root / "modemmanager.json").find("\"inhibited\": true") !=
               std::string::npos;
    }
};

TEST_F(KestrelModemManager, SigtermDuringTheDownloadReleasesTheInhibition) {
    environment["KESTREL_TIME_SCALE"] = "0.1";
    startCard({"--link-rate", "100000"});
    const pid_t pid = startKestrel({"-q", "-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog(kDownloadStarted)) << log();
    EXPECT_TRUE(inhibited()) << "the card is held while it is flashed";
    kill(pid, SIGTERM);
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(30)), 1) << log();
    EXPECT_EQ(codeFile(), "1223\n");
    EXPECT_FALSE(inhibited()) << "the inhibition outlived the run";
    const std::string text = log();
    EXPECT_NE(
        text.find("Inhibited ModemManager for /sys/devices/pci0000:00/0000:00:14.0/usb1/0001"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("Released ModemManager for"), std::string::npos) << text;
}

} // namespace
