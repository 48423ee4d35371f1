#pragma once

#include "flasher/Ff.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace flasher {

// Log levels of the flashing library.
constexpr int32_t kLevelOff = 0;
constexpr int32_t kLevelError = 1;
constexpr int32_t kLevelWarning = 2;
constexpr int32_t kLevelInformation = 3;
constexpr int32_t kLevelDebug = 4;

constexpr size_t kLoggerTextSize = 1024;

// The logging base of every object of the library: a level, a sink, the last-error text (which
// later messages quote; no call returns it) and the buffer a message is formatted into.
class FfLogger {
public:
    FfLogger() = default;
    FfLogger(const FfLogger&) = default;
    FfLogger& operator=(const FfLogger&) = default;
    virtual ~FfLogger() = default;

    void setLogger(int32_t level, FfLogSink sink, uint32_t context = 0);
    // Takes the level and sink of `other` (the context stays).
    void takeLoggerOf(const FfLogger& other);

    int32_t level() const { return level_; }
    FfLogSink sink() const { return sink_; }
    uint32_t context() const { return context_; }
    bool logs(int32_t level) const { return level_ != kLevelOff && level_ >= level; }

    // Formats at most 1023 characters and hands them, as a wide text, to the sink (or to the
    // debugger output when there is none), when the level is on and at least `level`.
    void log(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void logv(int32_t level, const char* format, va_list arguments);

    // Replaces the last-error text.
    void setLastError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const char* lastError() const { return lastError_; }
    void clearLastError() { lastError_[0] = '\0'; }

private:
    int32_t level_ = kLevelOff;
    FfLogSink sink_ = nullptr;
    uint32_t context_ = 0;
    char lastError_[kLoggerTextSize] = {};
    char message_[kLoggerTextSize] = {};
};

// Converts a multibyte (UTF-8) text to a wide one; bytes that are no valid UTF-8 stand for
// themselves, so nothing is dropped.
void toWide(const char* text, wchar_t* wide, size_t capacity);

// The library-wide logger of the free helper functions; each library call gives it the library
// object's level and sink.
FfLogger& sharedLogger();

} // namespace flasher
