#include "update/CheckFindings.h"

#include "app/Cautions.h"
#include "app/UpdateInfo.h"
#include "update/FlashDecision.h"

namespace Kestrel {

int32_t checkFindingsOf(const UpdateInfo& info, CheckFindings& findings) {
    FlashParts parts;
    const int32_t code = partsAnUpdateWouldFlash(info, parts);
    if (code != 0)
        return code;
    findings.wouldFlashFirmware = parts.firmware;
    findings.wouldFlashSoftware = parts.software;
    findings.cautions.clear();
    const uint32_t shown = shownCautions(info);
    for (const Caution& caution : kCautions) {
        if ((shown & caution.hint) != 0)
            findings.cautions.push_back(caution.text);
    }
    return 0;
}

} // namespace Kestrel
