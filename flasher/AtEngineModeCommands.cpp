#include "flasher/AtEngine.h"

#include "platform/Clock.h"

#include <cstdio>
#include <cstring>

namespace flasher {

int AtEngine::queryMode(PortHandle handle, int32_t& mode) {
    log(kLevelInformation, "Delay %%MODE %d ms", static_cast<int>(kModeQueryDelayMs));
    platform::sleepMs(kModeQueryDelayMs);
    char answer[kAtBufferSize] = {};
    if (runCommand(handle, answer, sizeof answer, "AT%%MODE?") != kAtOk) {
        log(kLevelError, "Mode request failed, Error : 0x%X, %s",
            static_cast<unsigned>(lastResult_), lastError());
        setLastError("Request operating mode (AT%%MODE?) failed");
        return lastResult_;
    }
    const char* found = std::strstr(answer, "%MODE:");
    int value = 0;
    // An answer that names no number counts as no answer at all: no mode is made up.
    if (found == nullptr || std::sscanf(found, "%%MODE: %d", &value) != 1) {
        log(kLevelError, "Mode request failed, Answer: %s", answer);
        setLastError("Request operating mode (AT%%MODE?) failed");
        return kModeAnswerUnreadable;
    }
    mode = value;
    return kAtOk;
}

int AtEngine::changeMode(PortHandle handle, int32_t mode) {
    char command[kAtBufferSize];
    std::snprintf(command, sizeof command, "AT%%MODE=%d", static_cast<int>(mode));
    lastResult_ = sendCommand(handle, command, nullptr, 0);
    if (lastResult_ == kAtOk)
        return kAtOk;
    reportCommandFailure(command);
    if (lastResult_ == kAtNoAnswer) {
        // A card may reset at once instead of answering; the change then counts as done.
        log(kLevelWarning,
            "Mode Change failed, applied workaround in factory test. Send At Command: %s failed, "
            "error: %d",
            command, kAtNoAnswer);
        setLastError("Send AT command '%s' failed, %s", command, lastError());
        return kAtOk;
    }
    return lastResult_;
}

int AtEngine::readIdentity(PortHandle handle, char* text) {
    return runCommand(handle, text, kAtBufferSize, "ATI");
}

int AtEngine::readSoftwareVersion(PortHandle handle, char* text) {
    return runCommand(handle, text, kAtBufferSize, "AT_VISOV?");
}

int AtEngine::readLmCode(PortHandle handle, char* text) {
    return runCommand(handle, text, kAtBufferSize, "AT_VLMC?");
}

int AtEngine::readCbcSettings(PortHandle handle, uint8_t* settings) {
    char answer[kAtBufferSize] = {};
    const int result = runCommand(handle, answer, sizeof answer, "AT%%ICBC");
    if (result != kAtOk)
        return result;
    const char* found = std::strstr(answer, "%ICBC:");
    int values[kCbcValueCount] = {};
    // Fewer than five numbers would leave settings that the device never reported.
    if (found == nullptr ||
        std::sscanf(found, "%%ICBC: %d, %d, %d, %d, %d", &values[0], &values[1], &values[2],
                    &values[3], &values[4]) != static_cast<int>(kCbcValueCount)) {
        log(kLevelWarning, "Request cbc settings failed, got answer: %s", answer);
        setLastError("Request cbc settings failed, got answer: %s", answer);
        return kCbcAnswerUnreadable;
    }
    for (size_t index = 0; index < kCbcValueCount; ++index)
        settings[index] = static_cast<uint8_t>(values[index] & 0xFF);
    return kAtOk;
}

} // namespace flasher
