#include "flasher/DownloadImage.h"

#include "flasher/DownloadMessages.h"
#include "flasher/Library.h"
#include "flasher/SerialPort.h"
#include "flasher/WrappedImage.h"

#include <cstring>
#include <vector>

namespace flasher {
namespace {

constexpr uint32_t kProgrammingSteps = 100;
constexpr size_t kAnswerLength = 2;

int32_t phaseValue(double share, uint32_t steps) {
    const auto percent = static_cast<uint32_t>(share);
    return static_cast<int32_t>(((percent & 0xFFFF) << 16) | (steps & 0xFFFF));
}

// One download: the port it opened, closed on every path out.
class Download {
public:
    explicit Download(Library& object) : object_(object), answer_(kAnswerBufferSize) {
        engine_.takeLoggerOf(object);
    }

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
    FfResult transfer(const uint8_t* image, size_t length, const WrappedHeader& header,
                      uint16_t blockSize);

    Library& object_;
    AtEngine engine_;
    PortGuard port_;
    FrameBuilder frames_;
    std::vector<uint8_t> answer_;
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
        std::fill(answer_.begin(), answer_.end(), 0);
        size_t collected = 0;
        int reads = 0;
        // The answer is 0xAA and a status byte; anything before it is passed over.
        while (collected < kAnswerLength || answer_[collected - 2] != kFrameStart) {
            if (reads == kAnswerReads || collected + kAnswerLength > answer_.size())
                return fail(kFfCommandFailed, "Send StartDownload request: 5 tries without answer");
            ++reads;
            if (SetReadTimeoutRaw(port_.handle, kAnswerTimeoutSeconds) == 0)
                return fail(kFfCommandFailed, shared.lastError());
            uint32_t got = 0;
            if (ReadRaw(port_.handle, answer_.data() + collected, kAnswerLength, &got) == 0)
                return fail(kFfCommandFailed, shared.lastError());
            collected += got;
        }
        const uint8_t status = answer_[collected - 1];
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
        const size_t left = end - position;
        const size_t count = left > blockSize ? blockSize : left;
        // An odd final block is made even with one zero byte.
        frames_.buildData(image + position, count, count % 2 != 0);
        int rejections = 0;
        for (;;) {
            if (!writeFrame())
                return fail(kFfCommandFailed, shared.lastError());
            std::fill(answer_.begin(), answer_.begin() + kAnswerLength * kAnswerReads, 0);
            size_t collected = 0;
            int reads = 0;
            bool lastReadFailed = false;
            // Bounded like the StartDownload wait: a silent device cannot hang the update.
            while (collected < kAnswerLength) {
                if (reads == kAnswerReads)
                    return fail(kFfCommandFailed, lastReadFailed
                                                      ? shared.lastError()
                                                      : "Send data block: 50 reads without answer");
                ++reads;
                uint32_t got = 0;
                lastReadFailed =
                    ReadRaw(port_.handle, answer_.data() + collected, kAnswerLength, &got) == 0;
                if (!lastReadFailed)
                    collected += got;
            }
            if (answer_[0] == kFrameStart && answer_[1] == kStatusAccepted) {
                object_.notify(kFfProgressPhaseAdvance, 1);
                position += count;
                break;
            }
            if (answer_[1] == kStatusTransmissionTimeout)
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
