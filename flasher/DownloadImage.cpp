#include "flasher/DownloadImage.h"

#include "flasher/DownloadMessages.h"
#include "flasher/Library.h"
#include "flasher/SerialPort.h"
#include "flasher/WrappedImage.h"

#include <algorithm>
#include <array>

namespace flasher {
namespace {

constexpr uint32_t kProgrammingSteps = 100;
// 0xAA and the status byte.
constexpr size_t kAnswerLength = 2;

// How one wait for a device answer ends when no answer comes.
struct AnswerWait {
    // Texts for the reads used up without an answer, and for a device gone silent.
    const char* withoutAnswerText;
    const char* silentText;
    // A failed read ends the wait at once, or uses up one of the reads.
    bool readFailureEnds;
};

constexpr AnswerWait kStartDownloadWait = {"Send StartDownload request: 5 tries without answer",
                                           "Send StartDownload request: 5 tries without answer",
                                           true};
constexpr AnswerWait kBlockWait = {"Send data block: 50 reads without answer",
                                   "Send data block: no answer within 30 seconds", false};

int32_t phaseValue(double share, uint32_t steps) {
    const auto percent = static_cast<uint32_t>(share);
    return static_cast<int32_t>(((percent & 0xFFFF) << 16) | (steps & 0xFFFF));
}

// One download: the port it opened, closed on every path out.
class Download {
public:
    explicit Download(Library& object) : object_(object) { engine_.takeLoggerOf(object); }

    FfResult run(const wchar_t* diagnosticPath, const uint8_t* image, size_t length);

private:
    FfResult fail(FfResult result, const char* lastError) {
        object_.setLastError("%s", lastError);
        return result;
    }
    FfResult failAndPurge(FfResult result, const char* lastError) {
        object_.setLastError("%s", lastError);
        PurgeRaw(port_.handle);
        return result;
    }
    bool writeFrame() {
        uint32_t written = 0;
        return WriteRaw(port_.handle, frames_.data(), static_cast<uint32_t>(frames_.size()),
                        &written) != 0;
    }
    FfResult startDownload(const uint8_t* image, const WrappedHeader& header, uint16_t blockSize);
    // Reads the device's answer to the frame just written: 0xAA and a status byte, anything
    // before the 0xAA passed over. Ends with a failure after kAnswerReads reads without an
    // answer, or after one whole answer time without a byte.
    FfResult awaitAnswer(const AnswerWait& wait, uint8_t& status);
    // Moves the collected answer bytes from the first 0xAA on to the buffer's start; returns
    // how many remain.
    size_t dropBytesBeforeFrameStart(size_t collected);
    FfResult transfer(const uint8_t* image, size_t length, const WrappedHeader& header,
                      uint16_t blockSize);

    Library& object_;
    AtEngine engine_;
    PortGuard port_;
    FrameBuilder frames_;
    // Bytes before the answer's 0xAA are dropped as they come, so two bytes hold it.
    std::array<uint8_t, kAnswerLength> answer_{};
};

FfResult Download::run(const wchar_t* diagnosticPath, const uint8_t* image, size_t length) {
    FfLogger& shared = sharedLogger();
    if (openPortByPath(diagnosticPath, port_.handle) != kOpenOk)
        return fail(kFfPortOrModeFailed, shared.lastError());
    if (engine_.setEcho(port_.handle, false) != kAtOk)
        return fail(kFfCommandFailed, engine_.lastError());

    WrappedHeader header;
    const int parsed = parseWrappedHeader(image, length, header);
    if (parsed == kWrappedHeaderUnknownMagic)
        return fail(kFfWrappedHeaderError, "Unknown format input wrapped file\n");
    if (parsed == kWrappedHeaderBadChecksum)
        return fail(kFfWrappedHeaderError, "Wrong wrapped header CheckSum");
    if (parsed != kWrappedHeaderOk ||
        static_cast<uint64_t>(header.headerLength) + header.payloadSize != length)
        return fail(kFfWrappedHeaderError, "Wrong wrapped file size value in header");

    const uint16_t blockSize = blockSizeFor(header, object_.blockSize);
    if (loadCommand(engine_, port_.handle) != kAtOk)
        return fail(kFfCommandFailed, engine_.lastError());

    FfResult result = startDownload(image, header, blockSize);
    if (result != kFfOk)
        return result;
    result = transfer(image, length, header, blockSize);
    if (result != kFfOk)
        return result;

    if (object_.cancelled)
        return fail(kFfCancelled, "Download cancelled\n");
    object_.notify(kFfProgressImageEnd, 0);
    object_.notify(kFfProgressPhaseBegin,
                   phaseValue(object_.share * object_.programmingWeight, kProgrammingSteps));
    if (startProgramming(engine_, port_.handle, object_.progressCallback,
                         object_.progressContext) != kAtOk)
        return fail(kFfProgrammingFailed, engine_.lastError());
    return kFfOk;
}

FfResult Download::startDownload(const uint8_t* image, const WrappedHeader& header,
                                 uint16_t blockSize) {
    FfLogger& shared = sharedLogger();
    frames_.buildStartDownload(blockSize, image, header.headerLength);
    int rejections = 0;
    for (;;) {
        if (!writeFrame())
            return fail(kFfCommandFailed, shared.lastError());
        uint8_t status = 0;
        const FfResult waited = awaitAnswer(kStartDownloadWait, status);
        if (waited != kFfOk)
            return waited;
        if (status == kStatusAccepted)
            return kFfOk;
        if (status == kStatusTransmissionTimeout)
            return failAndPurge(kFfCommandFailed, "Transmission timeout error, device resets\n");
        if (status == kStatusImageTooBig)
            return failAndPurge(kFfPackageFormatError,
                                "File size in header block too big, not enought memory available");
        // 0x09 and a status this library does not know both ask for the request again; both
        // count, so a device that never accepts cannot keep the download going for ever.
        if (++rejections == kFrameRejections)
            return failAndPurge(kFfCommandFailed, "Transmission error\n");
        PurgeRaw(port_.handle);
    }
}

FfResult Download::awaitAnswer(const AnswerWait& wait, uint8_t& status) {
    FfLogger& shared = sharedLogger();
    answer_.fill(0);
    size_t collected = 0;
    bool lastReadFailed = false;
    for (int reads = 0; collected < kAnswerLength; ++reads) {
        if (reads == kAnswerReads)
            return fail(kFfCommandFailed,
                        lastReadFailed ? shared.lastError() : wait.withoutAnswerText);
        if (SetReadTimeoutRaw(port_.handle, kAnswerTimeoutSeconds) == 0)
            return fail(kFfCommandFailed, shared.lastError());
        uint32_t got = 0;
        // Only the bytes still missing: a longer read would wait out the whole answer time
        // after the answer has arrived.
        const auto wanted = static_cast<uint32_t>(kAnswerLength - collected);
        lastReadFailed = ReadRaw(port_.handle, answer_.data() + collected, wanted, &got) == 0;
        if (lastReadFailed) {
            if (wait.readFailureEnds)
                return fail(kFfCommandFailed, shared.lastError());
            continue;
        }
        // The device answers within the answer time; a whole read without a byte means it has
        // gone silent, and more reads would only hold the update longer.
        if (got == 0)
            return fail(kFfCommandFailed, wait.silentText);
        collected = dropBytesBeforeFrameStart(collected + got);
    }
    status = answer_[1];
    return kFfOk;
}

size_t Download::dropBytesBeforeFrameStart(size_t collected) {
    const auto begin = answer_.begin();
    const auto start = std::find(begin, begin + collected, kFrameStart);
    std::copy(start, begin + collected, begin);
    return static_cast<size_t>(begin + collected - start);
}

FfResult Download::transfer(const uint8_t* image, size_t length, const WrappedHeader& header,
                            uint16_t blockSize) {
    FfLogger& shared = sharedLogger();
    size_t position = header.headerLength;
    const size_t end = length;
    const uint32_t blocks = static_cast<uint32_t>(end / blockSize + (end % blockSize ? 1 : 0));
    object_.notify(kFfProgressImageStart, 0);
    object_.notify(kFfProgressPhaseBegin,
                   phaseValue(object_.share * object_.downloadWeight, blocks));

    while (position < end) {
        // Between two blocks is the download's safe point: no frame is half sent.
        if (object_.cancelled)
            return fail(kFfCancelled, "Download cancelled\n");
        const size_t left = end - position;
        const size_t count = left > blockSize ? blockSize : left;
        // An odd final block is made even with one zero byte.
        frames_.buildData(image + position, count, count % 2 != 0);
        int rejections = 0;
        for (;;) {
            if (!writeFrame())
                return fail(kFfCommandFailed, shared.lastError());
            uint8_t status = 0;
            const FfResult waited = awaitAnswer(kBlockWait, status);
            if (waited != kFfOk)
                return waited;
            if (status == kStatusAccepted) {
                object_.notify(kFfProgressPhaseAdvance, 1);
                position += count;
                break;
            }
            if (status == kStatusTransmissionTimeout)
                return failAndPurge(kFfCommandFailed,
                                    "Transmission timeout error, device resets\n");
            if (++rejections == kFrameRejections)
                return fail(kFfCommandFailed, "Block rejected 5 times.\n");
            PurgeRaw(port_.handle);
        }
    }
    return kFfOk;
}

} // namespace

int loadCommand(AtEngine& engine, PortHandle handle) {
    const int result = engine.runCommand(handle, nullptr, 0, "AT%%LOAD");
    if (result == kAtOk)
        engine.log(kLevelInformation, "Send At Command: %s succeed\n", "AT%LOAD");
    return result;
}

int startProgramming(AtEngine& engine, PortHandle handle, FfProgressCallback callback,
                     void* context) {
    engine.setProgrammingMode(callback, context, handleProgrammingMessage);
    const int result = engine.runCommand(handle, nullptr, 0, "AT%%PROG=2");
    if (result == kAtOk)
        engine.log(kLevelInformation, "Send AT command '%s' succeed", "AT%PROG=2");
    engine.endProgrammingMode();
    return result;
}

FfResult downloadImage(const wchar_t* diagnosticPath, const uint8_t* image, size_t length) {
    Library& object = library();
    object.shareLogger();
    Download download(object);
    return download.run(diagnosticPath, image, length);
}

} // namespace flasher
