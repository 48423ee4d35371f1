#include "app/RunSummary.h"

#include "app/ErrorCodes.h"
#include "app/UpdateInfo.h"
#include "detection/WideText.h"

#include <KestrelVersion.h>
#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

constexpr const char* kNotRead = "unknown";
// The result dialog describes 259 as an update that failed; it is the run that found no card,
// or whose card went away, before anything was touched.
constexpr const char* kNoCardDescription = "No supported card found, or the card went away.";
constexpr const char* kCheckUpdatable = "The card can be updated.";
constexpr const char* kCheckUpToDate = "The card is up to date: an update would flash nothing.";

std::string englishDescriptionOf(int32_t result, int dialogKind) {
    if (result == Kestrel::kResultWindowReopenedUnattended)
        return kNoCardDescription;
    return detection::utf8FromWide(Kestrel::englishDescription(dialogKind, result));
}

std::string flashedPartsText(const CheckFindings& findings) {
    if (findings.wouldFlashFirmware && findings.wouldFlashSoftware)
        return "firmware and software";
    if (findings.wouldFlashFirmware)
        return "firmware";
    if (findings.wouldFlashSoftware)
        return "software";
    return "nothing";
}

std::string hexadecimal(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string orUnknown(const std::string& text) {
    return text.empty() ? kNotRead : text;
}

} // namespace

RunSummary::RunSummary(int32_t result, int dialogKind, const UpdateInfo* info,
                       std::vector<std::string> logFiles)
    : result(result), description(englishDescriptionOf(result, dialogKind)),
      exitCategory(Kestrel::mapExitCode(result)), logFiles(std::move(logFiles)) {
    if (info == nullptr)
        return;
    const auto guard = info->lock();
    cardKnown = info->deviceFirmware.valid || !info->modelName.empty();
    const VersionPair& firmware = info->deviceFirmware.version;
    // An update moves the version it replaced to previous; without one both are the current.
    firmwareAfter = firmware.current();
    firmwareBefore = firmware.previous().empty() ? firmware.current() : firmware.previous();
    modelName = info->modelName;
    productCode = info->lmCode;
    vendorId = info->vendorId;
    productId = info->productId;
    applicationPort = detection::utf8FromWide(info->appPort);
    diagnosticPort = detection::utf8FromWide(info->diagPort);
    packageFirmware = info->package.firmware.version.current();
    packageSoftware = info->package.software.version.current();
}

void RunSummary::describeCheck(const CheckFindings* checked) {
    checkOnly = true;
    checkPassed = checked != nullptr && result == Kestrel::kResultOk;
    if (!checkPassed)
        return;
    findings = *checked;
    const bool updatable = findings.wouldFlashFirmware || findings.wouldFlashSoftware;
    description = updatable ? kCheckUpdatable : kCheckUpToDate;
}

std::string RunSummary::line() const {
    std::string text = std::string(checkOnly ? "kestrel: check result " : "kestrel: result ") +
                       std::to_string(result) + " (" +
                       hexadecimal(static_cast<uint32_t>(result), 8) + ")";
    if (!description.empty())
        text += " \"" + description + "\"";
    text += ", exit category " + std::to_string(exitCategory);
    if (checkOnly) {
        text += ", firmware " + orUnknown(firmwareAfter);
        if (checkPassed) {
            text += ", package " + orUnknown(packageFirmware) + ", would flash " +
                    flashedPartsText(findings);
        }
    } else {
        text += ", firmware " + orUnknown(firmwareBefore) + " -> " + orUnknown(firmwareAfter);
    }
    for (const std::string& file : logFiles)
        text += ", log " + file;
    return text;
}

std::string RunSummary::json() const {
    nlohmann::json card = nullptr;
    if (cardKnown) {
        card = {{"model", modelName},
                {"productCode", productCode},
                {"vendorId", hexadecimal(static_cast<uint32_t>(vendorId), 4)},
                {"productId", hexadecimal(static_cast<uint32_t>(productId), 4)},
                {"applicationPort", applicationPort},
                {"diagnosticPort", diagnosticPort}};
    }
    nlohmann::json object = {
        {"result", result},
        {"resultHex", hexadecimal(static_cast<uint32_t>(result), 8)},
        {"description", description},
        {"exitCategory", exitCategory},
        {"firmwareBefore", firmwareBefore},
        {"firmwareAfter", firmwareAfter},
        {"logFiles", logFiles},
        {"card", card},
        {"package", {{"firmware", packageFirmware}, {"software", packageSoftware}}},
        {"kestrelVersion", Kestrel::kVersion},
    };
    if (checkOnly) {
        object["wouldUpdate"] = nullptr;
        object["cautions"] = nlohmann::json::array();
        object["refusal"] = nullptr;
        if (checkPassed) {
            object["wouldUpdate"] = {{"firmware", findings.wouldFlashFirmware},
                                     {"software", findings.wouldFlashSoftware}};
            object["cautions"] = findings.cautions;
        } else {
            object["refusal"] = result;
        }
    }
    // Texts from the card are not trusted to be UTF-8; bad bytes are replaced, never thrown on.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
