#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct UpdateInfo;

// What a check-only run found out about a card that could be offered an update.
struct CheckFindings {
    bool wouldFlashFirmware = false;
    bool wouldFlashSoftware = false;
    // The English texts of the cautions the update page would show, top to bottom.
    std::vector<std::string> cautions;
};

// What a run ended with, for whoever started it unattended: one line for a person reading the
// terminal and one JSON object for fleet tools. Both carry the result code, its English
// description, the exit category, the card's firmware before and after and the log files;
// the JSON object adds the card's identity and the package's versions.
class RunSummary {
public:
    // `dialogKind` is the kind of result dialog the result belongs to (its English description
    // depends on it); `info` may be null when no card was read; `logFiles` is empty when
    // nothing was logged.
    RunSummary(int32_t result, int dialogKind, const UpdateInfo* info,
               std::vector<std::string> logFiles);

    // The run only checked the card. `findings` is null when the check did not reach the point
    // where an update is offered (no card, or the card was refused: the result says why).
    void describeCheck(const CheckFindings* findings);

    std::string line() const;
    // One JSON object on one line, ended by a line feed.
    std::string json() const;

private:
    int32_t result;
    std::string description;
    int exitCategory;
    std::vector<std::string> logFiles;
    bool cardKnown = false;
    std::string firmwareBefore;
    std::string firmwareAfter;
    std::string modelName;
    std::string productCode;
    int32_t vendorId = 0;
    int32_t productId = 0;
    std::string applicationPort;
    std::string diagnosticPort;
    std::string packageFirmware;
    std::string packageSoftware;
    bool checkOnly = false;
    bool checkPassed = false;
    CheckFindings findings;
};
