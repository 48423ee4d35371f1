#pragma once

// The card's loader: "AT%LOAD" on the diagnostic port (in loader mode) starts the block
// protocol (StartDownload and data frames with XOR-16 checks), "AT%PROG=2" programs the received
// image with progress lines, and the card then resets and comes back in modem mode with the
// identity carried by the image. The card also accepts the settings commands of customisation
// scripts ("AT+CFUN=", "AT_VHSPACAT=", "AT+CGDCONT=").

#include "platform/Clock.h"
#include "sim/CardSimulator.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cardsim {

struct LoaderFaults {
    // StartDownload requests answered 0x09 before one is accepted.
    int rejectStartDownload = 0;
    // Data block `rejectBlock` (1-based; 0: none) answered 0x09 this many times.
    int rejectBlock = 0;
    int rejectBlockTimes = 0;
    // The status of those refusals: 0x09, or another value a loader might send.
    uint8_t rejectStatus = 0x09;
    // Data block answered 0x0A (transmission timeout); the card then resets.
    int timeoutAtBlock = 0;
    // From this data block on the card answers nothing.
    int silentAtBlock = 0;
    // The card answers no StartDownload request.
    bool silentAtStartDownload = false;
    // The answer to this data block follows a stray byte that is no frame start.
    int strayByteAtBlock = 0;
    // From this data block on the card answers no frame but keeps sending stray bytes, one
    // every noiseIntervalMs.
    int noiseAtBlock = 0;
    // At this data block the card leaves the bus and stays away.
    int unplugAtBlock = 0;
    // Sent during programming (one of the loader's error texts), followed by "ERROR".
    std::string programmingError;
    // After programming the card resets and does not come back.
    bool noComeBack = false;
};

struct LoaderOptions {
    LoaderFaults faults;
    // Memory for an image: a larger payload size in the StartDownload header is answered 0x0B.
    uint64_t memorySize = 16u * 1024 * 1024;
    // The link's throughput in bytes per (logical) second; 0: no limit.
    uint64_t bytesPerSecond = 0;
    // The pause between two stray bytes of a noisy card.
    uint64_t noiseIntervalMs = 100;
    // Progress lines of the programming, their pause, and the pause before the final code.
    std::vector<int> progressSteps = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
    uint64_t progressIntervalMs = 50;
    uint64_t finalCodeDelayMs = 50;
    std::string crossBootLine = "Cross Boot Check Successful";
    // From the final code to leaving the bus, and off the bus before coming back.
    uint64_t resetDelayMs = 200;
    uint64_t comeBackDelayMs = 2000;
};

// What the loader has seen; read from any thread.
struct LoaderRecord {
    int startDownloads = 0;
    int dataFrames = 0;
    int badChecksumFrames = 0;
    int acceptedBlocks = 0;
    std::vector<size_t> blockSizes; // data bytes of each accepted frame, padding included
    uint16_t blockSize = 0;
    uint64_t imageBytes = 0;
    bool imageComplete = false;
    // CRC-32 of the image received (header and payload), once complete.
    uint32_t imageCrc = 0;
    int programmings = 0;
    bool identityApplied = false;
    std::string lastProblem;
};

// Stop the card before the loader goes: the card's thread runs the loader's handlers and timers.
class Loader {
public:
    // Installs the loader's commands into `card` (before it starts).
    Loader(CardSimulator& card, LoaderOptions options);
    ~Loader();
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;

    LoaderRecord record() const;
    // Any thread; takes effect for the next frames.
    void setFaults(const LoaderFaults& faults);

    // The identity a firmware image carries (its zlib content's key=value lines); false with
    // `problem` when the image has no readable firmware content.
    static bool identityFromImage(const uint8_t* image, size_t size, CardState& state,
                                  std::string& problem);

private:
    struct Session;

    bool command(CardSimulator& card, Port port, const std::string& upper);
    void receive(CardSimulator& card, Port port, const uint8_t* data, size_t size);
    // Whether `data`, arriving between two frames, is AT text rather than a frame.
    bool hostLeftTheDownload(const uint8_t* data, size_t size) const;
    struct StartDownloadRequest;
    struct DataFrameLayout;

    bool takeStartDownload(CardSimulator& card, Port port);
    // Takes the frame (`headerLength` bytes of header) off the front of `frame`.
    static StartDownloadRequest takeStartDownloadRequest(std::vector<uint8_t>& frame,
                                                         uint32_t headerLength);
    // The status a StartDownload is refused with, or none when the download begins.
    std::optional<uint8_t> startDownloadRefusal(Session& session,
                                                const StartDownloadRequest& request);
    void beginImage(Session& session, const StartDownloadRequest& request);
    bool takeDataFrame(CardSimulator& card, Port port);
    static DataFrameLayout nextDataFrameLayout(const Session& session);
    // Whether a fault at `block` ends the block protocol instead of an answer: the card
    // leaves, falls silent, sends noise or times out.
    bool blockFaultTakesOver(CardSimulator& card, Port port, const LoaderFaults& faults, int block,
                             size_t frameBytes);
    void acceptBlock(CardSimulator& card, Port port, const DataFrameLayout& layout,
                     bool strayByteFirst);
    void answer(CardSimulator& card, Port port, uint8_t status, size_t frameBytes,
                bool strayByteFirst = false);
    void sendNoise(CardSimulator& card, Port port);
    void program(CardSimulator& card, Port port);
    LoaderFaults currentFaults() const;

    CardSimulator& card_;
    LoaderOptions options_;
    std::unique_ptr<Session> session_;
    mutable std::mutex mutex_;
    LoaderRecord record_;
};

} // namespace cardsim
