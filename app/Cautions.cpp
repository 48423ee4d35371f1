#include "app/Cautions.h"

#include "app/UpdateInfo.h"

namespace Kestrel {
namespace {

// The update page never shows the newer-firmware hint: that is the update it offers.
constexpr uint32_t kShownHints = HintOlder | HintSame | HintRecovery | HintBattery;
constexpr uint32_t kComparisonHints = HintOlder | HintNewer | HintSame;

} // namespace

const Caution kCautions[kCautionCount] = {
    {HintOlder, "The firmware to be installed is older than the one currently installed."},
    {HintSame, "The firmware to be installed is the same as the installed version."},
    {HintRecovery, "Your device is in a recovery state. Click Update to restore the firmware and "
                   "bring back your device to normal state."},
    {HintBattery, "Your computer is running on batteries. It is recommended to connect it to the "
                  "mains before updating your device's firmware."},
};

uint32_t shownCautions(const UpdateInfo& info) {
    uint32_t shown = kShownHints & info.hints.load();
    bool recovery = false;
    {
        const auto guard = info.lock();
        recovery = info.recovery;
    }
    if (recovery) {
        shown &= ~kComparisonHints;
        shown |= HintRecovery;
    }
    return shown;
}

} // namespace Kestrel
