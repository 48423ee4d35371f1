#include "flasher/AtEngine.h"

#include "platform/Clock.h"

#include <cstdio>
#include <cstring>

namespace flasher {

// The text collected of one answer, and when its final result code arrived.
struct AtEngine::CollectedAnswer {
    char text[kAtBufferSize] = {};
    size_t length = 0;
    bool finalCode = false;
    int finalCycle = 0;
};

namespace {

constexpr size_t kAnswerCapacity = kAtBufferSize - 1;

bool hasFinalCode(const char* text) {
    return std::strstr(text, "OK") != nullptr || std::strstr(text, "ERROR") != nullptr;
}

void copyAnswer(const char* text, size_t length, char* answer, size_t answerSize) {
    if (answer == nullptr || answerSize == 0)
        return;
    const size_t copied = length < answerSize - 1 ? length : answerSize - 1;
    std::memcpy(answer, text, copied);
    answer[copied] = '\0';
}

} // namespace

int AtEngine::sendCommand(PortHandle handle, const char* command, char* answer, size_t answerSize) {
    // A failed exchange leaves no stale text for the caller to parse.
    if (answer != nullptr && answerSize != 0)
        answer[0] = '\0';

    SerialPort port(handle);
    port.takeLoggerOf(*this);
    port.purge(handle);
    if (!writeCommand(port, command))
        return kAtWriteFailed;
    CollectedAnswer collected;
    if (!readUntilFinalCode(port, command, collected))
        return kAtNoAnswer;
    port.purge(handle);
    copyAnswer(collected.text, collected.length, answer, answerSize);
    return resultOf(command, collected);
}

bool AtEngine::writeCommand(SerialPort& port, const char* command) {
    char frame[kAtBufferSize] = {};
    std::snprintf(frame, sizeof frame, "%s\r\n", command);
    const auto frameLength = static_cast<uint32_t>(std::strlen(frame));

    // A short write is sent again; after the last attempt the answer is read all the same.
    for (int attempt = 1; attempt <= kAtWriteAttempts; ++attempt) {
        log(kLevelDebug, "Send AT command '%s'", command);
        uint32_t written = 0;
        if (port.write(frame, frameLength, written) == 0) {
            log(kLevelError, "Unable to write AT command '%s', error: %s", command,
                port.lastError());
            setLastError("Send AT command '%s' failed, %s", command, port.lastError());
            if (attempt == kAtWriteAttempts)
                return false;
            continue;
        }
        if (written == frameLength)
            break;
    }
    return true;
}

bool AtEngine::readUntilFinalCode(SerialPort& port, const char* command,
                                  CollectedAnswer& collected) {
    int cycle = 0;
    while (cycle < kAtReadCycles) {
        if (!readNextPiece(port, command, collected)) {
            log(kLevelInformation, "Nothing to read after %s, %s", command, port.lastError());
            setLastError("Send AT command '%s' failed, %s", command, port.lastError());
            return false;
        }
        collected.text[collected.length] = '\0';
        if (programming_ && acceptsProgrammingMessage(collected.text)) {
            cycle = 0;
            // A final result code that came with the message still ends the exchange (the
            // reads of programming mode take whole seconds, so lines arrive together).
            if (!hasFinalCode(collected.text)) {
                collected.length = 0;
                continue;
            }
        }
        if (hasFinalCode(collected.text)) {
            collected.finalCode = true;
            collected.finalCycle = cycle;
            break;
        }
        ++cycle;
    }
    return true;
}

bool AtEngine::readNextPiece(SerialPort& port, const char* command, CollectedAnswer& collected) {
    int readsLeft = kAtReadsPerCycle;
    if (programming_) {
        port.setReadTimeout(kAtProgrammingReadTimeoutSeconds);
        readsLeft = kAtProgrammingReadsPerCycle;
    }
    while (readsLeft > 0) {
        platform::sleepMs(readDelayMs_);
        log(kLevelWarning, "resp_index: %d, retries: %d", static_cast<int>(collected.length),
            readsLeft);
        --readsLeft;
        if (readOnce(port, command, collected))
            return true;
    }
    return false;
}

bool AtEngine::readOnce(SerialPort& port, const char* command, CollectedAnswer& collected) {
    uint32_t got = 0;
    char* target = collected.text + collected.length;
    if (port.read(target, static_cast<uint32_t>(kAnswerCapacity - collected.length), got) == 0) {
        log(kLevelWarning, "Unable to read AT answer to %s, %s", command, port.lastError());
        return false;
    }
    target[got] = '\0';
    log(kLevelInformation, "AT answer (%d bytes): %s", static_cast<int>(got), target);
    collected.length += got;
    return got > 0;
}

bool AtEngine::acceptsProgrammingMessage(const char* text) {
    if (messageHandler_ != nullptr && messageHandler_(*this, text))
        return true;
    log(kLevelError, "Error: %s", text);
    return false;
}

int AtEngine::resultOf(const char* command, const CollectedAnswer& collected) {
    // An "OK" that first arrives in the last cycle comes too late.
    if (std::strstr(collected.text, "ERROR") != nullptr || !collected.finalCode ||
        collected.finalCycle >= kAtReadCycles - 1) {
        log(kLevelError, "Error on %s", command);
        if (lastError()[0] != '\0')
            setLastError("Send AT command '%s' failed: %s", command, lastError());
        else
            setLastError("Send AT command '%s' failed.", command);
        return kAtError;
    }
    return kAtOk;
}

int AtEngine::runCommand(PortHandle handle, char* answer, size_t answerSize, const char* format,
                         ...) {
    char command[kAtBufferSize];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(command, sizeof command, format, arguments);
    va_end(arguments);
    lastResult_ = sendCommand(handle, command, answer, answerSize);
    if (lastResult_ != kAtOk)
        reportCommandFailure(command);
    return lastResult_;
}

void AtEngine::reportCommandFailure(const char* command) {
    log(kLevelError, "Send At Command '%s' failed, error: %d, %s", command, lastResult_,
        lastError());
    setLastError("Send AT command '%s' failed: %s", command, lastError());
}

int AtEngine::setEcho(PortHandle handle, bool on) {
    const int result = runCommand(handle, nullptr, 0, "ATE%d", on ? 1 : 0);
    if (result == kAtOk)
        log(kLevelDebug, "Send At Command '%s' succeed", on ? "ATE1" : "ATE0");
    return result;
}

void AtEngine::setProgrammingMode(FfProgressCallback callback, void* context,
                                  ProgrammingMessageHandler handler) {
    programming_ = true;
    progressCallback_ = callback;
    progressContext_ = context;
    messageHandler_ = handler;
}

void AtEngine::endProgrammingMode() {
    programming_ = false;
    progressCallback_ = nullptr;
    progressContext_ = nullptr;
    messageHandler_ = nullptr;
}

} // namespace flasher
