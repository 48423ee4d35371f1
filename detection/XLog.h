#pragma once

#include <cstdarg>
#include <string>

// The detection library's logging: printf-style messages (UTF-8 arguments) handed to the
// client's log callback as wide text. Each message has a level 0 important, 1 detail,
// 2 warning, 3 error; the log level filters them. Neither function changes errno.
namespace detection {

// Formats and emits a message whatever the log level (the always-emitted messages).
void XLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats and emits a message when its level passes the filter.
void XLogAt(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Hands one text to the log callback, or to standard error without one.
void XLogString(const wchar_t* text);

// Whether a message of `level` passes the current log level.
bool isLogLevelEnabled(int level);

// The current log level 0 to 3.
int logLevel();

} // namespace detection
