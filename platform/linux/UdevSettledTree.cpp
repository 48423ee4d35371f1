#include "platform/linux/UdevSettledTree.h"

#include "platform/Clock.h"

#include <algorithm>

namespace platform {
namespace {

constexpr const char* kUsbSubsystem = "usb";
constexpr const char* kRemoveAction = "remove";
constexpr const char* kUnbindAction = "unbind";

} // namespace

uint64_t UdevSettledTree::settleBoundMs() {
    return std::max(kSettleBoundMs, logicalFromRealMs(kShortestRealSettleMs));
}

bool UdevSettledTree::reload(const std::vector<UdevDeviceRecord>& records, uint64_t nowMs) {
    live_.clear();
    // A tty or network device is kept only below a known interface, so the usb devices go in
    // first, whatever order the enumeration gave.
    for (const auto& record : records)
        if (record.subsystem == kUsbSubsystem)
            live_.put(record);
    for (const auto& record : records)
        if (record.subsystem != kUsbSubsystem && live_.belowInterface(record.syspath))
            live_.put(record);

    bool changed = false;
    // A card that lost a device or a driver while events were lost has left (and may be on its
    // way back); the others are shown as they now stand once settled.
    for (const auto& card : shown_.cards())
        if (lostSomething(card))
            changed = withdraw(card) || changed;
    waiting_.clear();
    for (const auto& card : live_.cards())
        changed = consider(card, nowMs) || changed;
    return changed;
}

bool UdevSettledTree::take(const std::string& action, const UdevDeviceRecord& record,
                           uint64_t nowMs) {
    const std::string& path = record.syspath;
    if (action == kRemoveAction) {
        if (!live_.contains(path))
            return false;
        const std::string card = live_.cardOf(path);
        bool changed = withdrawAt(path, card);
        live_.remove(path);
        for (auto it = waiting_.begin(); it != waiting_.end();)
            it = sysfsPathAtOrBelow(it->first, path) ? waiting_.erase(it) : std::next(it);
        if (!card.empty() && live_.contains(card))
            changed = consider(card, nowMs) || changed;
        return changed;
    }
    // tty and network devices of anything but a USB interface are not part of the tree.
    if (record.subsystem != kUsbSubsystem && !live_.belowInterface(path))
        return false;
    const bool unbind = action == kUnbindAction;
    if (unbind) {
        // After an unbind the device has no driver, whatever the event still carries.
        UdevDeviceRecord unbound = record;
        unbound.driver.clear();
        live_.put(unbound);
    } else {
        live_.put(record);
    }
    const std::string card = live_.cardOf(path);
    if (card.empty())
        return false;
    const bool changed = unbind && withdrawAt(path, card);
    return consider(card, nowMs) || changed;
}

bool UdevSettledTree::showDue(uint64_t nowMs) {
    bool changed = false;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->second > nowMs) {
            ++it;
            continue;
        }
        const std::string card = it->first;
        it = waiting_.erase(it);
        changed = show(card) || changed;
    }
    return changed;
}

std::optional<uint64_t> UdevSettledTree::untilDue(uint64_t nowMs) const {
    if (waiting_.empty())
        return std::nullopt;
    const auto next = std::min_element(waiting_.begin(), waiting_.end(), [](auto& a, auto& b) {
                          return a.second < b.second;
                      })->second;
    return next > nowMs ? next - nowMs : 0;
}

// A settled card is shown at once; any other waits for its bound, counted from this event.
bool UdevSettledTree::consider(const std::string& card, uint64_t nowMs) {
    if (live_.settled(card)) {
        waiting_.erase(card);
        return show(card);
    }
    waiting_[card] = nowMs + settleBoundMs();
    return false;
}

// True when what is shown of the card changed.
bool UdevSettledTree::show(const std::string& card) {
    const auto records = live_.recordsOf(card);
    if (records == shown_.recordsOf(card))
        return false;
    shown_.replaceCard(card, records);
    return true;
}

bool UdevSettledTree::withdraw(const std::string& card) {
    if (!shown_.contains(card))
        return false;
    shown_.removeCard(card);
    return true;
}

// The card a device belongs to leaves with it, and so does every card below it (a hub's).
bool UdevSettledTree::withdrawAt(const std::string& path, const std::string& card) {
    bool changed = withdraw(card);
    for (const auto& card : shown_.cards())
        if (sysfsPathAtOrBelow(card, path))
            changed = withdraw(card) || changed;
    return changed;
}

bool UdevSettledTree::lostSomething(const std::string& card) const {
    for (const auto& record : shown_.recordsOf(card)) {
        const UdevDeviceRecord* now = live_.find(record.syspath);
        if (!now || (!record.driver.empty() && now->driver.empty()))
            return true;
    }
    return false;
}

} // namespace platform
