#pragma once

#include "flasher/AtEngine.h"

#include <cstdint>

// Port-level operations: each opens the first usable of two port paths, runs one command on a
// fresh AtEngine with the shared logger's level and sink, closes the port, and returns 0 or the
// first failure (open codes 2, 3, 4, engine results, answer results). The result is also kept
// as the library's last helper result; on failure the shared last error says why.
namespace flasher {

int readDeviceMode(const wchar_t* firstPath, const wchar_t* secondPath, int32_t& mode);
int setDeviceMode(const wchar_t* firstPath, const wchar_t* secondPath, int32_t mode);
// `text` receives the whole answer: kAtBufferSize bytes.
int readDeviceIdentity(const wchar_t* firstPath, const wchar_t* secondPath, char* text);
int readDeviceSoftwareVersion(const wchar_t* firstPath, const wchar_t* secondPath, char* text);
int readDeviceLmCode(const wchar_t* firstPath, const wchar_t* secondPath, char* text);
// `settings` receives kCbcValueCount bytes.
int readDeviceCbcSettings(const wchar_t* firstPath, const wchar_t* secondPath, uint8_t* settings);

// Puts the device into loader mode and reads its CBC settings into the library object.
FfResult loadCbcSettings(const wchar_t* applicationPath, const wchar_t* diagnosticPath);
// Brings the device back into modem mode unless it is there already.
FfResult ensureModemMode(const wchar_t* applicationPath, const wchar_t* diagnosticPath,
                         FfProgressCallback callback, void* context);

} // namespace flasher
