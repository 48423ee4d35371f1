#pragma once

#include <cstdint>
#include <string>

// The application's result codes, the texts the result dialog shows for them and the process
// exit code they end in. Flashing-library codes that are not mapped pass through as results.
namespace Kestrel {

enum ResultCode : int32_t {
    kResultOk = 0,
    kResultDeviceInfoFailed = 257,
    kResultLmCodeNotSupported = 258,
    kResultWindowReopenedUnattended = 259,
    kResultNoFirmwareInfo = 260,
    kResultPackageFormat = 261,
    kResultServiceStopFailed = 262,
    kResultDeviceInfo29 = 264,
    kResultRecoveryComplete = 265,
    kResultInstallSoftwareComplete = 266,
    kResultStatusTimeout = 268,
    kResultDeviceNotResponding = 270,
    kResultDepartureTimeout = 276,
    kResultArrivalTimeout = 277,
    kResultEjected = 279,
    kResultStillInRecovery = 283,
    kResultNoUpdateInfo = 284,
    kResultNoDeviceTrait = 287,
    kResultUpdateThreadFailed = 289,
    kResultRefreshWindowFailed = 290,
    kResultWindowNotFound = 291,
    kResultWindowNotRefreshable = 292,
    kResultCheckThreadFailed = 4714,
};

// The run was ended from outside (SIGTERM or SIGINT) before its result was known: the Win32
// code of a cancelled operation, a general failure (category 1) for installers.
constexpr int32_t kResultInterrupted = 1223;

// Neither a package file nor the embedded package is available.
constexpr int32_t kResultNoPackage = static_cast<int32_t>(0x80000000u);

// The kinds of result dialog: the number of the workflow state that opens it.
enum ResultDialogKind : int {
    kDialogInitFailure = 2,
    kDialogDeviceUnusable = 7,
    kDialogUpdateFailure = 11,
    kDialogUpdateSuccess = 12,
};

// How closing the result dialog answers: 2 may be retried.
enum CloseClass : int {
    kCloseNone = 0,
    kCloseSuccess = 1,
    kCloseRetry = 2,
    kCloseQuit = 3,
};

// Looks an English message identifier up in the message catalog. Until the application installs
// its catalog lookup the identifier itself is the text.
using TranslationLookup = std::wstring (*)(const char* message);
void setTranslationLookup(TranslationLookup lookup);
std::wstring translate(const char* message);

// The result dialog's description of `code` for a dialog of `kind`.
std::wstring description(int kind, int32_t code);
// The same text in English, whatever catalog is installed.
std::wstring englishDescription(int kind, int32_t code);

// The result dialog's hint; the four texts are the device's previous and current firmware and
// software versions (empty when unknown).
std::wstring hint(int kind, int32_t code, const std::string& firmwarePrevious,
                  const std::string& firmwareCurrent, const std::string& softwarePrevious,
                  const std::string& softwareCurrent);

CloseClass closeClass(int32_t code, int kind);

// The process exit code an installer sees: a category 0 to 5.
int mapExitCode(int32_t code);

// Whether a flashing-library code belongs to its device-information warning class (0x1001xxxx).
bool isWarningClass(int32_t code);

// UTF-8 to wide text; bytes that are not UTF-8 become U+FFFD.
std::wstring widen(const std::string& text);

} // namespace Kestrel
