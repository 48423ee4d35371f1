#pragma once

#include "flasher/FfLogger.h"
#include "flasher/SerialPort.h"

#include <cstdint>

namespace flasher {

// Engine results.
constexpr int kAtOk = 0;
constexpr int kAtWriteFailed = 2;
constexpr int kAtNoAnswer = 3;
constexpr int kAtError = 5;

constexpr size_t kAtBufferSize = 1024;
constexpr uint32_t kAtReadDelayMs = 100;
constexpr int kAtWriteAttempts = 4;
constexpr int kAtReadCycles = 16;
constexpr int kAtReadsPerCycle = 16;
constexpr int kAtProgrammingReadsPerCycle = 31;
constexpr uint32_t kAtProgrammingReadTimeoutSeconds = 10;

// The device needs this pause before it answers a mode query reliably.
constexpr uint32_t kModeQueryDelayMs = 1000;

// Results of the command operations beside the engine's.
constexpr int kModeAnswerUnreadable = 1;
constexpr int kCbcAnswerUnreadable = 4;
constexpr size_t kCbcValueCount = 5;

class AtEngine;

// Receives, in programming mode, all text collected since the last accepted message; true
// accepts it (the engine then starts collecting afresh).
using ProgrammingMessageHandler = bool (*)(AtEngine& engine, const char* text);

// Sends one AT command over an open port and collects the answer until a final result code.
// It never opens or closes ports. Further command operations (the loader's, the scripts') are
// built on runCommand in their own files.
class AtEngine : public FfLogger {
public:
    AtEngine() = default;

    // 0, 2, 3 or 5; the answer (at most 1023 bytes and a zero) goes to `answer` when one is given.
    int sendCommand(PortHandle handle, const char* command, char* answer, size_t answerSize);

    // Formats a command (printf-style, so "%%" puts one % on the wire), sends it, keeps the
    // result as last result and reports a failure.
    int runCommand(PortHandle handle, char* answer, size_t answerSize, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    int lastResult() const { return lastResult_; }
    void setLastResult(int result) { lastResult_ = result; }
    void reportCommandFailure(const char* command);

    int setEcho(PortHandle handle, bool on);

    // Modes and information. The texts are copied whole: `text` holds kAtBufferSize bytes.
    int queryMode(PortHandle handle, int32_t& mode);
    int changeMode(PortHandle handle, int32_t mode);
    int readIdentity(PortHandle handle, char* text);
    int readSoftwareVersion(PortHandle handle, char* text);
    int readLmCode(PortHandle handle, char* text);
    int readCbcSettings(PortHandle handle, uint8_t* settings);

    void setProgrammingMode(FfProgressCallback callback, void* context,
                            ProgrammingMessageHandler handler);
    void endProgrammingMode();
    bool programming() const { return programming_; }
    FfProgressCallback progressCallback() const { return progressCallback_; }
    void* progressContext() const { return progressContext_; }

    void setReadDelay(uint32_t milliseconds) { readDelayMs_ = milliseconds; }

private:
    struct CollectedAnswer;

    // False when every attempt to write failed.
    bool writeCommand(SerialPort& port, const char* command);
    // False when a cycle of reads brought nothing; otherwise the answer is collected until its
    // final result code or the last read cycle.
    bool readUntilFinalCode(SerialPort& port, const char* command, CollectedAnswer& collected);
    // One cycle: reads until one brings bytes; false when none did.
    bool readNextPiece(SerialPort& port, const char* command, CollectedAnswer& collected);
    bool readOnce(SerialPort& port, const char* command, CollectedAnswer& collected);
    // In programming mode: whether the handler takes the text as a message (else it is logged).
    bool acceptsProgrammingMessage(const char* text);
    int resultOf(const char* command, const CollectedAnswer& collected);

    bool programming_ = false;
    FfProgressCallback progressCallback_ = nullptr;
    void* progressContext_ = nullptr;
    ProgrammingMessageHandler messageHandler_ = nullptr;
    int lastResult_ = 0;
    uint32_t readDelayMs_ = kAtReadDelayMs;
};

} // namespace flasher
