#include "update/FlashDecision.h"

#include "app/UpdateInfo.h"
#include "flasher/Ff.h"

namespace Kestrel {
namespace {

constexpr int32_t kTwoPassProductId = 0xD055;

} // namespace

bool twoPassProduct(const UpdateInfo& info) {
    // The identity is rewritten on the GUI thread whenever the card re-enumerates.
    const auto guard = info.lock();
    return info.productId == kTwoPassProductId;
}

int32_t decideFlashParts(const UpdateInfo& info, FlashParts& parts) {
    int32_t difference = 0;
    int32_t valid = 0;
    if (info.package.firmware.valid) {
        const uint32_t code = FfCompareInfo(kFfCompareTimeStamp, &info.deviceFirmware.raw,
                                            &info.package.firmware.raw, &difference, &valid);
        if (code != kFfOk)
            return static_cast<int32_t>(code);
        parts.firmware = difference > 0;
    }
    if (info.package.software.valid) {
        const uint32_t code = FfCompareInfo(kFfCompareVersion, &info.deviceSoftware.raw,
                                            &info.package.software.raw, &difference, &valid);
        if (code != kFfOk)
            return static_cast<int32_t>(code);
        parts.software = difference > 0;
    }
    return 0;
}

int32_t partsAnUpdateWouldFlash(const UpdateInfo& info, FlashParts& parts) {
    bool recovery = false;
    {
        const auto guard = info.lock();
        recovery = info.recovery;
    }
    // The two-pass product has its firmware flashed, then its software, whatever its versions.
    if (twoPassProduct(info)) {
        parts = FlashParts{true, true};
        return 0;
    }
    if (recovery) {
        parts = FlashParts{true, false};
        return 0;
    }
    return decideFlashParts(info, parts);
}

} // namespace Kestrel
