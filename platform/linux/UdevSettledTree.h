#pragma once

#include "platform/DeviceTreeInMemory.h"
#include "platform/linux/UdevDeviceTable.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The USB tree as Kestrel shows it. A kernel announces a card one device at a time (per
// interface: the interface, its driver's tty or network device, the interface's bind; the USB
// device's bind last) and takes it away in the reverse order. The records come in as udev
// sends them; a card is shown as one change once it has settled (UdevDeviceTable::settled),
// or, when something stays missing, once kSettleBoundMs have passed after its last event, with
// the missing functions not started. Its departure is shown at its first remove or unbind.
// Times are logical milliseconds (platform/Clock.h), so the bound follows the time scale.
class UdevSettledTree {
public:
    // ModemManager gives a port about 1.5 s after its last event before probing it; a driver
    // that binds later than this shows as a function that has not started.
    static constexpr uint64_t kSettleBoundMs = 1500;
    // A kernel's pace does not follow the time scale: however small the scale, the bound lasts
    // at least this many real milliseconds (a loaded machine, or a sanitizer, can hold the
    // events of one card that long apart).
    static constexpr uint64_t kShortestRealSettleMs = 1000;

    // The bound in force, in logical milliseconds.
    static uint64_t settleBoundMs();

    // Replaces what udev has told so far with an enumeration (at start, after lost events).
    // True when what is shown changed.
    bool reload(const std::vector<UdevDeviceRecord>& records, uint64_t nowMs);
    // Takes one event in ("add", "remove", "bind", "unbind", "change", "move"). True when what
    // is shown changed.
    bool take(const std::string& action, const UdevDeviceRecord& record, uint64_t nowMs);
    // Shows the cards whose bound has passed. True when what is shown changed.
    bool showDue(uint64_t nowMs);
    // Logical milliseconds until the next card's bound passes; none while no card waits.
    std::optional<uint64_t> untilDue(uint64_t nowMs) const;

    DeviceGroup group() const { return shown_.group(); }

private:
    bool consider(const std::string& card, uint64_t nowMs);
    bool show(const std::string& card);
    bool withdraw(const std::string& card);
    bool withdrawAt(const std::string& path, const std::string& card);
    bool lostSomething(const std::string& card) const;

    // Everything udev has told, as it stands.
    UdevDeviceTable live_;
    // The cards as last shown.
    UdevDeviceTable shown_;
    // Cards that have not settled since their last event, with the time their bound passes.
    std::map<std::string, uint64_t> waiting_;
};

} // namespace platform
