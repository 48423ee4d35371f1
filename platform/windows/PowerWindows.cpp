#include "platform/windows/PowerWindows.h"

#include "platform/MessageWindow.h"
#include "platform/windows/HiddenWindowThread.h"

namespace platform {
namespace {

// Relays the system's power broadcasts to the windows that registered for them.
class BroadcastSource : public PowerSource {
public:
    bool start() {
        return window_.start({}, [](UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
            if (message != WM_POWERBROADCAST)
                return false;
            publishPowerEvent(static_cast<uint32_t>(wParam));
            result = TRUE;
            return true;
        });
    }

private:
    HiddenWindowThread window_;
};

} // namespace

PowerStatus readWindowsPowerStatus() {
    PowerStatus status;
    SYSTEM_POWER_STATUS system{};
    if (!GetSystemPowerStatus(&system))
        return status;
    status.acLineStatus = system.ACLineStatus;
    status.batteryLifePercent = system.BatteryLifePercent;
    return status;
}

std::unique_ptr<PowerSource> startWindowsPowerSource() {
    auto source = std::make_unique<BroadcastSource>();
    if (!source->start())
        return nullptr;
    return source;
}

} // namespace platform
