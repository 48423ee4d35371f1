#pragma once

#include "platform/ModemManager.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Keeps the connection manager away from one card for as long as Kestrel owns it: the card's
// modem is inhibited once and stays so across the card's re-enumerations (the uid follows the
// USB port), until release. Any thread; calls are serialised.
namespace platform {

class ModemInhibitor {
public:
    // How long a card that the connection manager does not know yet is looked for: it may
    // still be probing a card that was just plugged.
    static constexpr uint64_t kFindTimeoutMs = 10000;
    static constexpr uint64_t kFindRetryMs = 500;

    struct Outcome {
        ModemManagerResult result = ModemManagerResult::ok;
        // The modem concerned (empty when none was found).
        ModemEntry modem;
        std::string detail;
        // Nothing changed: the card was held already.
        bool alreadyHeld = false;
    };

    ModemInhibitor() = default;
    ~ModemInhibitor();
    ModemInhibitor(const ModemInhibitor&) = delete;
    ModemInhibitor& operator=(const ModemInhibitor&) = delete;

    // Inhibits the card with this device instance id; a card held before is released first.
    Outcome hold(const std::string& instanceId);
    // Releases the inhibition from the connection that made it; ok with an empty modem when
    // nothing was held.
    Outcome release();
    // Ends a running search for the card at once (the run is being interrupted).
    void cancel();
    bool holding() const;

private:
    Outcome releaseLocked();

    mutable std::mutex mutex_;
    std::unique_ptr<ModemManagerConnection> connection_;
    std::string instanceId_;
    ModemEntry held_;

    mutable std::mutex cancelMutex_;
    std::condition_variable cancelled_;
    bool cancelRequested_ = false;
};

} // namespace platform
