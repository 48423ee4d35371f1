#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct UpdateInfo;

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
};
