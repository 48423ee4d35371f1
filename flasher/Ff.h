#pragma once

// Public interface of the firmware flashing library: the Ff functions, their result codes, the
// information record and the callback types.

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Records and callbacks

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

// Every entry returns one of the codes below: 0 success, 0x1000xxxx warnings (0x1001xxxx with
// warning bits about the device information), 0x2000xxxx errors.
typedef uint32_t FfResult;

} // extern "C"

// ---------------------------------------------------------------------------------------------
// Result codes

constexpr FfResult kFfOk = 0;
// The device is switching mode: wait until it has re-enumerated, then call again.
constexpr FfResult kFfModeChanging = 0x10000003;
constexpr FfResult kFfNoPackageFirmwareInfo = 0x1000002A;
constexpr FfResult kFfNoPackageSoftwareInfo = 0x1000002B;
// Warning bits of the device information: 1 revision, 4 LM code, 0x000F all (not a normal mode).
constexpr FfResult kFfDeviceInfoWarning = 0x10010000;
constexpr FfResult kFfWarningRevision = 0x0001;
constexpr FfResult kFfWarningLmCode = 0x0004;
constexpr FfResult kFfWarningAll = 0x000F;
constexpr FfResult kFfDeviceIdentityUnreadable = 0x10010001;
constexpr FfResult kFfDeviceLmCodeUnreadable = 0x10010004;
constexpr FfResult kFfDeviceNotNormal = 0x1001000F;
constexpr FfResult kFfProgrammingFailed = 0x20000001;
constexpr FfResult kFfUnknownComparison = 0x20000001;
constexpr FfResult kFfDeviceInMode3 = 0x20000007;
constexpr FfResult kFfLoaderModeForCbcFailed = 0x20000012;
constexpr FfResult kFfNoScriptInPackage = 0x20000027;
constexpr FfResult kFfPackageFormatError = 0x20000028;
constexpr FfResult kFfCommandFailed = 0x2000004D;
constexpr FfResult kFfPortOrModeFailed = 0x2000004E;
constexpr FfResult kFfScriptCommandFailed = 0x20000062;
constexpr FfResult kFfScriptModeFailed = 0x20000063;
// FfCancel stopped the flashing (ERROR_CANCELLED in the low word).
constexpr FfResult kFfCancelled = 0x200004C7;
constexpr FfResult kFfWrappedHeaderError = 0x20010001;
constexpr FfResult kFfUnknownInfoKind = 0x20010001;

// Information kinds of FfGetInfoDevice.
constexpr int32_t kFfInfoFirmware = 0;
constexpr int32_t kFfInfoSoftware = 1;

// Comparison kinds of FfCompareInfo.
constexpr int32_t kFfCompareTimeStamp = 1;
constexpr int32_t kFfCompareVersion = 4;

// Device modes as the device reports them.
constexpr int32_t kFfModeModem = 0;
constexpr int32_t kFfModeLoader = 1;
constexpr int32_t kFfModeFactoryTest = 2;
constexpr int32_t kFfModeNoFlash = 3;
constexpr int32_t kFfModeOther = 4;

// Progress notification codes.
constexpr int32_t kFfProgressFlashStart = 1;
constexpr int32_t kFfProgressPreFlashStart = 2;
constexpr int32_t kFfProgressImageStart = 7;
constexpr int32_t kFfProgressModeSwitch = 11;
constexpr int32_t kFfProgressImageEnd = 12;
constexpr int32_t kFfProgressPhaseBegin = 100;
constexpr int32_t kFfProgressPhaseAdvance = 101;

extern "C" {

// ---------------------------------------------------------------------------------------------
// Library lifetime

// Sets the library's log level (0 off, 1 error, 2 warning, 3 information, 4 debug), its sink
// and a context word kept with the sink.
FfResult FfInitialise(int32_t level, FfLogSink sink, uint32_t context);
FfResult FfShutdown();
// Asks the flashing calls to stop at their next safe point (between two download blocks or two
// script commands, never inside a frame) with kFfCancelled; every later flashing call ends so at
// once. For a process that is ending: only FfInitialise takes it back. Callable from any thread.
FfResult FfCancel();
// Sets the status to 0.
FfResult FfGetStatus(const wchar_t* model, const wchar_t* diag, const wchar_t* app,
                     int32_t* status);

// ---------------------------------------------------------------------------------------------
// Device information

// Fills `record` (not cleared first) with the firmware (kind 0) or software (kind 1) information
// of the device behind the application port `app` (the diagnostic port `diag` is the fallback).
// `notNormal`, when given, says whether the device is in a mode other than 0 and 4.
FfResult FfGetInfoDevice(const wchar_t* model, int32_t kind, const wchar_t* diag,
                         const wchar_t* app, FfInfoRecord* record, int32_t* notNormal);

// Kind 1 compares the time stamps, kind 4 the dotted versions: `difference` is B - A of the
// first field that differs, 0 when none does; `valid` is set to 1.
FfResult FfCompareInfo(int32_t kind, const FfInfoRecord* recordA, const FfInfoRecord* recordB,
                       int32_t* difference, int32_t* valid);

} // extern "C"

// ---------------------------------------------------------------------------------------------
// Package information and flashing

extern "C" {

// Fills `record` (cleared first) with the firmware (kind 0) or software (kind 1) information of
// the package in the caller's memory.
FfResult FfGetInfoPck(const wchar_t* model, int32_t kind, const uint8_t* data, uint32_t length,
                      FfInfoRecord* record);

// Checks, without the device, that FfFlash would find something to download in the package
// for each requested part: for the firmware an image that the selection takes without the
// software flag, for the software one that it takes with it (every firmware image counted as
// enabled, since the device's CBC settings are read only while flashing). 0, or 0x20000028 when
// the package does not parse or holds no such image.
FfResult FfCheckImages(const wchar_t* model, bool updateFirmware, bool updateSoftware,
                       const uint8_t* data, uint32_t length);

// Brings the device into loader mode: 0 when it is there, 0x10000003 when it is switching (call
// again once it has re-enumerated).
FfResult FfPreFlash(const wchar_t* model, const wchar_t* diag, const wchar_t* app,
                    FfProgressCallback callback, void* context);

// Downloads the selected images of the package (which must stay valid during the call) and
// brings the device back into modem mode.
FfResult FfFlash(const wchar_t* model, const wchar_t* diag, const wchar_t* app, bool updateFirmware,
                 bool updateSoftware, const uint8_t* data, uint32_t length,
                 FfProgressCallback callback, void* context);

// Runs a customisation script (or the type-19 script of a package passed as script). A script
// that changes the device mode returns 0x10000003 after the change: call again to resume.
FfResult FfPostFlash(const wchar_t* model, const wchar_t* diag, const wchar_t* app,
                     const char* script, uint32_t length, FfProgressCallback callback,
                     void* context);

} // extern "C"
