#include "update/ProgressTable.h"

#include "app/ErrorCodes.h"

namespace Kestrel {
namespace {

constexpr int kFirstCode = 2;
constexpr int kFirstPhase = 1;
constexpr int kLastPhase = 6;
constexpr const char* kNoPhase = "--";

constexpr const char* kPreparing = "Preparing update";
constexpr const char* kUpdating = "Updating device";
constexpr const char* kFinalising = "Finalising update";
constexpr const char* kGettingInfo = "Getting device information";

// Codes 2 to 21 in order.
const ProgressEntry kEntries[] = {
    {2, kPreparing, ""},                                         // 2
    {1, "", ""},                                                 // 3: goes to the workflow
    {2, kPreparing, ""},                                         // 4
    {3, kUpdating, "Sending preloader"},                         // 5
    {3, kUpdating, "Starting preloader"},                        // 6
    {1, "", "Checking boot block"},                              // 7
    {3, kUpdating, "Sending boot code"},                         // 8
    {3, kUpdating, "Sending firmware"},                          // 9
    {4, kFinalising, "Completing update"},                       // 10
    {1, "", ""},                                                 // 11
    {1, "", "Resetting device"},                                 // 12
    {1, "", ""},                                                 // 13
    {1, "", ""},                                                 // 14
    {5, kGettingInfo, kGettingInfo},                             // 15
    {1, "", ""},                                                 // 16
    {1, "", "Checking for SIM..."},                              // 17
    {1, "", "Reading firmware version..."},                      // 18
    {6, "Software installation", "Activate Instavol volume..."}, // 19
    {1, "", "Launch installer..."},                              // 20
    {1, "", "Install host software..."},                         // 21
};

std::wstring translatedOrEmpty(const char* text) {
    return *text == '\0' ? std::wstring() : translate(text);
}

} // namespace

const ProgressEntry* progressEntry(int code) {
    if (code < kFirstCode || code > kProgressLast)
        return nullptr;
    return &kEntries[code - kFirstCode];
}

std::wstring progressPhaseText(int code) {
    const ProgressEntry* entry = progressEntry(code);
    if (entry == nullptr || entry->phase < kFirstPhase || entry->phase > kLastPhase)
        return translate(kNoPhase);
    return translatedOrEmpty(entry->phaseText);
}

std::wstring progressActionText(int code) {
    const ProgressEntry* entry = progressEntry(code);
    if (entry == nullptr)
        return L"Unknown notification (code " + std::to_wstring(code) + L")";
    return translatedOrEmpty(entry->actionText);
}

int mapLibraryProgress(int32_t libraryCode) {
    switch (libraryCode) {
    case 1:
        return 2;
    case 2:
        return 4;
    case 3:
        return 5;
    case 4:
        return 6;
    case 5:
        return 7;
    case 6:
        return 8;
    case 7:
        return 9;
    case 8:
    case 9:
        return 11;
    case 10:
        return 10;
    case 11:
        return 12;
    case 12:
    case 100:
        return 13;
    case 101:
        return 14;
    default:
        return kProgressUnknown;
    }
}

} // namespace Kestrel
