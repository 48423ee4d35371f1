#pragma once

#include "platform/ModemManager.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

// Keeps the connection manager away from one card for as long as Kestrel owns it: the card's
// modem is inhibited once and stays so across the card's re-enumerations (ModemManager holds
// the ports that return for an inhibited uid back instead of probing them), until release.
// A connection manager that restarts has forgotten the inhibition, and one that starts late
// has never heard of it: the inhibitor follows who answers for it and inhibits the card again
// at once, and goes on asking until the new one knows the card (it does only once the card's
// ports are back, and probes them about 1.5 s after they appear). Any thread; calls are
// serialised.
namespace platform {

class ModemInhibitor {
public:
    // How long a card that the connection manager does not know is asked for: it may not
    // have seen a card that was just plugged yet. A card it never lists is not its card.
    static constexpr uint64_t kFindTimeoutMs = 10000;
    // How long a card that the connection manager knows but is still probing is asked for.
    // ModemManager probes a port for at most a few tens of seconds (AT probing with retries,
    // then QCDM), and accepts an inhibition only once the modem is exported.
    static constexpr uint64_t kProbingTimeoutMs = 60000;
    static constexpr uint64_t kFindRetryMs = 500;
    // The watch for a change of who answers for the connection manager wakes this often to
    // see whether it should end.
    static constexpr uint64_t kWatchSliceMs = 250;

    struct Outcome {
        ModemManagerResult result = ModemManagerResult::ok;
        // The modem concerned (empty when none was found).
        ModemEntry modem;
        std::string detail;
        // Nothing changed: the card was held already.
        bool alreadyHeld = false;
        // The card had been inhibited by an earlier answerer, which has since gone (restarted):
        // this inhibition renews the hold.
        bool again = false;
    };
    // Told, on the watch's thread, of each inhibition the watch made or failed to make for a
    // new answerer; not told of a search that release ended.
    using Listener = std::function<void(const Outcome&)>;

    explicit ModemInhibitor(Listener listener = {}) : listener_(std::move(listener)) {}
    ~ModemInhibitor();
    ModemInhibitor(const ModemInhibitor&) = delete;
    ModemInhibitor& operator=(const ModemInhibitor&) = delete;

    // Inhibits the card with this device instance id; a card held before is released first.
    // From here until release, a new answerer for the connection manager is asked again.
    Outcome hold(const std::string& instanceId);
    // Releases the inhibition from the connection that made it and ends the watch; ok with an
    // empty modem when nothing was held. Only the first release after a hold calls out.
    Outcome release();
    // Ends the searches for the card that are running now (the run is being interrupted).
    void cancel();
    // Whether the card is inhibited by the connection manager that answers now.
    bool holding() const;

private:
    Outcome inhibitLocked(uint64_t cancelGeneration, uint64_t notFoundLimitMs);
    Outcome releaseLocked();
    void watch();
    void ownerChanged();
    void stopWatch();

    mutable std::mutex mutex_;
    std::unique_ptr<ModemManagerConnection> connection_;
    // The card Kestrel owns (empty when none) and, while it is inhibited, its modem and the
    // answerer that inhibited it.
    std::string instanceId_;
    ModemEntry held_;
    std::string heldBy_;
    bool inhibited_ = false;
    // Whether an answerer has inhibited the card since it was held.
    bool everInhibited_ = false;
    const Listener listener_;

    mutable std::mutex cancelMutex_;
    std::condition_variable cancelled_;
    uint64_t cancelGeneration_ = 0;

    std::thread watcher_;
    std::unique_ptr<ModemManagerConnection> watchConnection_;
    bool watching_ = false; // guarded by cancelMutex_
};

} // namespace platform
