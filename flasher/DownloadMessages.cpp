#include "flasher/DownloadMessages.h"

#include "flasher/AtEngine.h"
#include "flasher/Library.h"

#include <cstdio>
#include <cstring>

namespace flasher {
namespace {

constexpr const char* kCrossBootChecks[] = {"Cross Boot Check Successful",
                                            "Cross Boot Check disabled on this platform"};
constexpr char kProgressKey[] = "%PROG: ";

// The number of the latest progress line in the text, or -1 without one. Several lines can
// arrive in one read; the latest tells how far the device is.
int latestProgress(const char* text) {
    const char* latest = nullptr;
    for (const char* found = std::strstr(text, kProgressKey); found != nullptr;
         found = std::strstr(found + 1, kProgressKey))
        latest = found;
    if (latest == nullptr)
        return -1;
    int number = 0;
    if (std::sscanf(latest, "%%PROG: %d", &number) != 1)
        number = 0;
    return number;
}

void notifyProgress(AtEngine& engine, int number) {
    const FfProgressCallback callback = engine.progressCallback();
    if (callback == nullptr)
        return;
    Library& object = library();
    int difference = number - object.lastProgressMessage;
    // A new image starts counting again from its own first message.
    if (difference < 0)
        difference = number;
    object.lastProgressMessage = number;
    callback(kFfProgressPhaseAdvance, difference, engine.progressContext());
}

} // namespace

const ProgrammingError kProgrammingErrors[] = {
    {"No platform configuration available", "No platform configuration available",
     "No platform configuration available"},
    {"Invalid platform configuration data", "Invalid platform configuration data",
     "Invalid platform configuration data"},
    {"Update is not allowed for this firmware", "Update is not allowed for this firmware",
     "Update is not allowed for this firmware"},
    {"Invalid CBC header data", "Invalid CBC header data, download not allowed",
     "Invalid CBC header data, download not allowed"},
    {"Incompatible archive version", "Incompatible archive version, download not allowed.",
     "Incompatible archive version, download not allowed."},
    {"Incompatible supported platform",
     "Incompatible supported platform, the fw is prepared for other device type.",
     "Incompatible supported platform, the fw is prepared for other device type.\n"},
    {"PCID Authentication Failed",
     "PCID Authentication Failed, the file and the device does not fit.",
     "PCID Authentication Failed, the file and the device does not fit"},
    {"ARCH RSA Authentication Failed",
     "ARCH RSA Signature authentication Failed, be sure you have the correct FW in your device",
     "ARCH RSA Signature authentication Failed, be sure you have the correct FW in your device"},
    {"No customization file available",
     "No customization file available, update the proper custom config first.",
     "No customization file available, update the proper custom config first."},
    {"ARCH IMEI file already present.",
     "ARCH IMEI file already present, no way to overwrite a valid imei file.",
     "Valid IMEI already present, no way to overwrite a valid imei."},
    {"Update is not M18 Flash compatible.",
     "ERROR: Try to update M18 device with not M18 fw, abort.",
     "Firmware and Hardware are not compatible please use an up-to-datefirmware with M18 flashes "
     "support."},
};
const size_t kProgrammingErrorCount = sizeof kProgrammingErrors / sizeof kProgrammingErrors[0];

bool handleProgrammingMessage(AtEngine& engine, const char* text) {
    engine.log(kLevelInformation, "Message received: %s", text);
    const int progress = latestProgress(text);

    for (const char* check : kCrossBootChecks) {
        if (std::strstr(text, check) != nullptr) {
            engine.log(kLevelInformation, "Check success or not set. Start Programming");
            // Progress that arrived in the same read still counts.
            if (progress >= 0)
                notifyProgress(engine, progress);
            return true;
        }
    }
    for (size_t i = 0; i < kProgrammingErrorCount; ++i) {
        const ProgrammingError& error = kProgrammingErrors[i];
        if (std::strstr(text, error.key) != nullptr) {
            engine.log(kLevelError, "%s", error.logText);
            engine.setLastError("%s", error.lastError);
            return false;
        }
    }
    if (progress >= 0) {
        notifyProgress(engine, progress);
        return true;
    }
    if (std::strstr(text, "OK") != nullptr || std::strstr(text, "ERROR") != nullptr)
        return true;
    engine.log(kLevelWarning, "WARNING Unknown message received from device: %s", text);
    engine.setLastError("Message received from device: %s", text);
    return true;
}

} // namespace flasher
