// The simulated card's loader, spoken to frame by frame: checksums, refusals, throughput, and the
// identity it takes from a received image.

#include "FlashTestSupport.h"

#include "flasher/SerialPort.h"
#include "flasher/WrappedImage.h"
#include "tests/support/CardAnswer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace flashtest;

namespace {

constexpr auto kAnswerWait = std::chrono::seconds(10);

class LoaderProtocol : public FlashingCard {
protected:
    void openLoader(const cardsim::LoaderOptions& options) {
        startFlashingCard(1, options);
        ASSERT_EQ(flasher::openPortByPath(diag.c_str(), port), 0);
        send("ATE0\r\n");
        EXPECT_NE(readText().find("OK"), std::string::npos);
        send("AT%LOAD\r\n");
        EXPECT_NE(readText().find("OK"), std::string::npos);
    }
    void TearDown() override {
        if (port)
            flasher::ClosePort(port);
        FlashingCard::TearDown();
    }
    void send(const std::string& text) { send(text.data(), text.size()); }
    void send(const void* data, size_t size) {
        uint32_t written = 0;
        ASSERT_EQ(flasher::WriteRaw(port, data, static_cast<uint32_t>(size), &written), 1);
        ASSERT_EQ(written, size);
    }
    std::string readText() {
        return testsupport::readCardAnswer(
            [this](std::string& piece) {
                char buffer[256] = {};
                uint32_t got = 0;
                const bool ok = flasher::ReadRaw(port, buffer, sizeof buffer - 1, &got) != 0;
                piece.assign(buffer, got);
                return ok;
            },
            kAnswerWait);
    }
    // The loader's two-byte answer: 0xAA and the status, or 0 when none came.
    int status() {
        uint8_t answer[2] = {};
        uint32_t got = 0;
        flasher::SetReadTimeoutRaw(port, 5);
        if (flasher::ReadRaw(port, answer, 2, &got) == 0 || got != 2 || answer[0] != 0xAA)
            return 0;
        return answer[1];
    }
    void sendFrame(const flasher::FrameBuilder& frames) { send(frames.data(), frames.size()); }

    flasher::PortHandle port = nullptr;
};

TEST_F(LoaderProtocol, FramesWithABadChecksumAreAnsweredSendAgain) {
    // A named object, not a defaulted temporary: GCC 12 at -O3 reports the temporary's string
    // member as maybe uninitialized when it is destroyed.
    const cardsim::LoaderOptions defaults;
    openLoader(defaults);
    const tools::Bytes image = packagetest::smallImage(100);
    flasher::FrameBuilder frames;
    frames.buildStartDownload(65276, image.data(), 64);
    tools::Bytes broken(frames.data(), frames.data() + frames.size());
    broken.back() ^= 0x01;
    send(broken.data(), broken.size());
    EXPECT_EQ(status(), 0x09);
    sendFrame(frames);
    EXPECT_EQ(status(), 0x01);

    frames.buildData(image.data() + 64, 100, false);
    broken.assign(frames.data(), frames.data() + frames.size());
    broken[10] ^= 0x80;
    send(broken.data(), broken.size());
    EXPECT_EQ(status(), 0x09);
    sendFrame(frames);
    EXPECT_EQ(status(), 0x01);
    const cardsim::LoaderRecord record = loader->record();
    EXPECT_EQ(record.badChecksumFrames, 2);
    EXPECT_TRUE(record.imageComplete);
}

TEST_F(LoaderProtocol, HeaderSizeBeyondTheMemoryIsAnsweredTooBig) {
    cardsim::LoaderOptions options = loaderOptions();
    options.memorySize = 99;
    openLoader(options);
    const tools::Bytes image = packagetest::smallImage(100);
    flasher::FrameBuilder frames;
    frames.buildStartDownload(65276, image.data(), 64);
    sendFrame(frames);
    EXPECT_EQ(status(), 0x0B);
}

TEST_F(LoaderProtocol, LoadOutsideLoaderModeIsAnError) {
    startFlashingCard(0, loaderOptions());
    ASSERT_EQ(flasher::openPortByPath(diag.c_str(), port), 0);
    send("AT%LOAD\r\n");
    EXPECT_NE(readText().find("ERROR"), std::string::npos);
    send("AT%PROG=2\r\n");
    EXPECT_NE(readText().find("ERROR"), std::string::npos) << "nothing received to program";
}

TEST_F(LoaderProtocol, ThroughputLimitPacesTheAnswers) {
    cardsim::LoaderOptions options = loaderOptions();
    options.bytesPerSecond = 100000;
    openLoader(options);
    const tools::Bytes image = packagetest::smallImage(100000);
    flasher::FrameBuilder frames;
    frames.buildStartDownload(50000, image.data(), 64);
    sendFrame(frames);
    ASSERT_EQ(status(), 0x01);
    const uint64_t start = platform::tickMs();
    for (size_t offset = 64; offset < image.size(); offset += 50000) {
        frames.buildData(image.data() + offset, 50000, false);
        sendFrame(frames);
        ASSERT_EQ(status(), 0x01);
    }
    // Two frames of 50004 bytes at 100000 bytes per second.
    EXPECT_GE(platform::tickMs() - start, 950u);
}

TEST(LoaderImage, EmbeddedImageCarriesTheFlashedIdentity) {
    const tools::Bytes& pck = packagetest::embeddedPackage();
    cardsim::CardState state = olderFirmware();
    std::string problem;
    ASSERT_TRUE(cardsim::Loader::identityFromImage(pck.data() + packagetest::kEmbeddedImageOffset,
                                                   packagetest::kEmbeddedImageSize, state, problem))
        << problem;
    EXPECT_EQ(state.manufacturer, "Velmar N.V.");
    EXPECT_EQ(state.model, "QT0880");
    EXPECT_EQ(state.revision, "3.19.0");
    EXPECT_EQ(state.date, "Mar 16 2010");
    EXPECT_EQ(state.time, "15:03:03");
    EXPECT_EQ(state.softwareVersion, "2.8.1");

    tools::Bytes damaged(pck.begin() + packagetest::kEmbeddedImageOffset, pck.end());
    damaged[64 + 12 + 5000] ^= 0x01;
    EXPECT_FALSE(
        cardsim::Loader::identityFromImage(damaged.data(), damaged.size(), state, problem));
    EXPECT_EQ(problem, "firmware stream CRC wrong");
    const tools::Bytes plain = packagetest::smallImage(100);
    EXPECT_FALSE(cardsim::Loader::identityFromImage(plain.data(), plain.size(), state, problem));
    EXPECT_EQ(problem, "no firmware content");
}

TEST_F(FlashingCard, DamagedFirmwareImageFailsItsProgramming) {
    tools::FirmwareImageSpec spec;
    spec.content = "revision=9.9.9\n";
    spec.imageSize = 5000;
    spec.tailSize = 32;
    tools::FirmwareImage firmware;
    std::string problem;
    ASSERT_TRUE(tools::buildFirmwareImage(spec, firmware, problem)) << problem;
    firmware.image[64 + 12 + 100] ^= 0x01; // inside the zlib stream: its CRC no longer holds
    const tools::Bytes pck = packagetest::package({packagetest::imageFile(firmware.image)});
    startInLoaderMode(loaderOptions());
    EXPECT_EQ(flash(pck), 0x20000001u);
    EXPECT_NE(lastError().find("ARCH RSA Signature authentication Failed"), std::string::npos)
        << lastError();
    EXPECT_EQ(card->stateSnapshot().revision, "3.18.2");
}

} // namespace
