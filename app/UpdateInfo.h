#pragma once

#include "flasher/Ff.h"

#include <atomic>
#include <mutex>
#include <cstdint>
#include <string>

// A version text with the one it replaced. Setting a new value moves the current one to previous.
class VersionPair {
public:
    void set(const std::string& value);
    const std::string& current() const { return currentText; }
    const std::string& previous() const { return previousText; }
    // "v" current, then "[v" previous "]" when there is one; "--" when current is empty.
    std::string logForm() const;

private:
    std::string previousText;
    std::string currentText;
};

struct VersionInfo {
    bool valid = false;
    VersionPair version;
    std::string detail;
    FfInfoRecord raw{};

    // Detail is the record's time stamp, "YYYY-MM-DD hh:mm:ss".
    void fillFirmware(const FfInfoRecord& record);
    // Detail is the record's description.
    void fillSoftware(const FfInfoRecord& record);

private:
    void copyRecord(const FfInfoRecord& record);
};

struct PackageInfoData {
    VersionInfo firmware;
    VersionInfo software;
    std::wstring path;
};

// Hint bits that the main window shows as cautions.
enum UpdateHint : uint32_t {
    HintOlder = 1u << 0,
    HintNewer = 1u << 1,
    HintSame = 1u << 2,
    HintRecovery = 1u << 4,
    HintBattery = 1u << 5,
};

// Everything known about the inserted card and the package, for the whole run.
struct UpdateInfo {
    int32_t model = 0;
    int32_t vendorId = 0;
    int32_t productId = 0;
    std::string modelName;
    std::string lmCode;
    std::wstring appPort;
    std::wstring diagPort;
    bool recovery = false;
    bool fwUpdate = false;
    bool fwRecovery = false;
    bool swUpdate = false;
    VersionInfo deviceFirmware;
    VersionInfo deviceSoftware;
    int32_t stackType = 0;
    int32_t family = 0;
    uint32_t driverVersionLow = 0;
    uint32_t driverVersionHigh = 0;
    PackageInfoData package;
    // Changed from several threads (the power monitor sets the battery bit), hence atomic.
    std::atomic<uint32_t> hints{0};

    // The detection callback rewrites the identity and ports on the GUI thread whenever the
    // device re-enumerates, the check and update threads write what they read from the device
    // and the package, and the GUI thread shows all of it. Every field but `hints` is written
    // under this lock, and read under it by any thread other than its writer; workers call the
    // flashing library with a copy of the ports.
    struct Ports {
        int32_t model = 0;
        std::wstring app;
        std::wstring diag;
    };
    Ports ports() const {
        std::lock_guard<std::mutex> guard(mutex);
        return Ports{model, appPort, diagPort};
    }
    std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex); }
    mutable std::mutex mutex;

    void setHint(uint32_t bits, bool on) {
        if (on)
            hints.fetch_or(bits);
        else
            hints.fetch_and(~bits);
    }
    bool hasHint(uint32_t bits) const { return (hints.load() & bits) != 0; }
};

// The LM codes this build supports, ended by a null entry.
extern const char* const kSupportedLmCodes[];

// The model argument of the flashing library's calls (which accepts it and does not use it).
std::wstring flasherModel(int32_t model);

// Text forms for the logs.
// (fw v3.20.1[v3.19.0] "2011-03-04 10:11:12")
std::string firmwareLogForm(const VersionInfo& firmware);
// (sw "v1.2.3" "description cut to 17 ...")
std::string softwareLogForm(const VersionInfo& software);
// (hints 1 5)
std::string hintsLogForm(uint32_t hints);
// (device "vMODEL" "vLMCODE" recovery (fw ...) (sw ...)), Vendor Id: 1, Product Id: 2
std::string deviceLogForm(const UpdateInfo& info);
// (update <device> (pck <fw> <sw>) <hints>)
std::string updateLogForm(const UpdateInfo& info);
