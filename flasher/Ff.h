#pragma once

// Public interface of the firmware flashing library: the Ff functions, their result codes, the
// information record and the callback types.

#include <cstdint>

extern "C" {

// What the library learns about a device or a package. Clients copy it whole, so its layout is
// fixed: zero-terminated texts and 32-bit integers.
struct FfInfoRecord {
    char description[128];
    char version[128];
    char model[65];
    char lmCode[32];
    int32_t second;
    int32_t minute;
    int32_t hour;
    int32_t day;
    int32_t month;
    int32_t year;
    int32_t reserved[3];
};

// Receives one log line; called synchronously on the calling thread.
typedef void (*FfLogSink)(const wchar_t* text);

// Receives progress notifications of the flashing functions.
typedef void (*FfProgressCallback)(int32_t code, int32_t value, void* context);

} // extern "C"
