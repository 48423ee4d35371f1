#pragma once

#include <cstdint>
#include <string>

// Power status and power broadcasts. Windows registered with registerPowerNotification
// (MessageWindow.h) receive kMessagePowerBroadcast with one of the event codes below: standby and
// resume come from DIR/events/ on a simulated machine and from logind's PrepareForSleep on Linux
// (when the system bus is there); status changes from DIR/power.json or /sys/class/power_supply.
namespace platform {

// wParam of kMessagePowerBroadcast, as PBT_ codes.
constexpr uint32_t kPowerSuspend = 0x4;          // PBT_APMSUSPEND
constexpr uint32_t kPowerResumeSuspend = 0x7;    // PBT_APMRESUMESUSPEND
constexpr uint32_t kPowerStatusChange = 0xA;     // PBT_APMPOWERSTATUSCHANGE
constexpr uint32_t kPowerResumeAutomatic = 0x12; // PBT_APMRESUMEAUTOMATIC

constexpr uint8_t kAcOffline = 0;
constexpr uint8_t kAcOnline = 1;
constexpr uint8_t kAcUnknown = 255;
constexpr uint8_t kBatteryPercentUnknown = 255;

// As SYSTEM_POWER_STATUS: AC line status 0, 1 or 255 and battery life 0 to 100 or 255.
struct PowerStatus {
    uint8_t acLineStatus = kAcOnline;
    uint8_t batteryLifePercent = kBatteryPercentUnknown;
    bool operator==(const PowerStatus& other) const {
        return acLineStatus == other.acLineStatus && batteryLifePercent == other.batteryLifePercent;
    }
    bool operator!=(const PowerStatus& other) const { return !(*this == other); }
};

// The machine's power status now. When the source is malformed, `problem` (if given) says why
// and the status is the neutral one (on mains, battery unknown).
PowerStatus readPowerStatus(std::string* problem = nullptr);

} // namespace platform
