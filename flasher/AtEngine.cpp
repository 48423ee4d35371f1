#include "flasher/AtEngine.h"

#include "platform/Clock.h"

#include <cstdio>
#include <cstring>

namespace flasher {

namespace {

bool hasFinalCode(const char* text) {
    return std::strstr(text, "OK") != nullptr || std::strstr(text, "ERROR") != nullptr;
}

} // namespace

int AtEngine::sendCommand(PortHandle handle, const char* command, char* answer, size_t answerSize) {
    char frame[kAtBufferSize] = {};
    char collectedText[kAtBufferSize] = {};
    const size_t answerCapacity = kAtBufferSize - 1;

    // A failed exchange leaves no stale text for the caller to parse.
    if (answer != nullptr && answerSize != 0)
        answer[0] = '\0';

    SerialPort port(handle);
    port.takeLoggerOf(*this);
    port.purge(handle);

    std::snprintf(frame, sizeof frame, "%s\r\n", command);
    const auto frameLength = static_cast<uint32_t>(std::strlen(frame));

    for (int attempt = 1; attempt <= kAtWriteAttempts; ++attempt) {
        log(kLevelDebug, "Send AT command '%s'", command);
        uint32_t written = 0;
        if (port.write(frame, frameLength, written) == 0) {
            log(kLevelError, "Unable to write AT command '%s', error: %s", command,
                port.lastError());
            setLastError("Send AT command '%s' failed, %s", command, port.lastError());
            if (attempt == kAtWriteAttempts)
                return kAtWriteFailed;
            continue;
        }
        if (written == frameLength)
            break;
    }

    size_t collected = 0;
    int cycle = 0;
    bool finalCode = false;
    int finalCycle = 0;
    while (cycle < kAtReadCycles) {
        int readsLeft = kAtReadsPerCycle;
        if (programming_) {
            port.setReadTimeout(kAtProgrammingReadTimeoutSeconds);
            readsLeft = kAtProgrammingReadsPerCycle;
        }
        uint32_t got = 0;
        while (readsLeft > 0) {
            platform::sleepMs(readDelayMs_);
            log(kLevelWarning, "resp_index: %d, retries: %d", static_cast<int>(collected),
                readsLeft);
            --readsLeft;
            got = 0;
            char* target = collectedText + collected;
            if (port.read(target, static_cast<uint32_t>(answerCapacity - collected), got) != 0) {
                target[got] = '\0';
                log(kLevelInformation, "AT answer (%d bytes): %s", static_cast<int>(got), target);
                collected += got;
            } else {
                got = 0;
                log(kLevelWarning, "Unable to read AT answer to %s, %s", command, port.lastError());
            }
            if (got > 0)
                break;
        }
        if (got == 0) {
            log(kLevelInformation, "Nothing to read after %s, %s", command, port.lastError());
            setLastError("Send AT command '%s' failed, %s", command, port.lastError());
            return kAtNoAnswer;
        }
        collectedText[collected] = '\0';
        if (programming_) {
            if (messageHandler_ != nullptr && messageHandler_(*this, collectedText)) {
                // A final result code that came with the message still ends the exchange (the
                // reads of programming mode take whole seconds, so lines arrive together).
                if (hasFinalCode(collectedText)) {
                    finalCode = true;
                    finalCycle = 0;
                    break;
                }
                collected = 0;
                cycle = 0;
                continue;
            }
            log(kLevelError, "Error: %s", collectedText);
        }
        if (hasFinalCode(collectedText)) {
            finalCode = true;
            finalCycle = cycle;
            break;
        }
        ++cycle;
    }

    port.purge(handle);
    if (answer != nullptr && answerSize != 0) {
        const size_t copied = collected < answerSize - 1 ? collected : answerSize - 1;
        std::memcpy(answer, collectedText, copied);
        answer[copied] = '\0';
    }

    // An "OK" that first arrives in the last cycle comes too late.
    if (std::strstr(collectedText, "ERROR") != nullptr || !finalCode ||
        finalCycle >= kAtReadCycles - 1) {
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
