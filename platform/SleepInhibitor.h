#pragma once

#include <memory>
#include <mutex>
#include <string>

// Keeps the machine from sleeping or shutting down while the card is being flashed: a card
// whose download stops half-way stays in its loader. On Linux this is a logind "block"
// inhibitor ("sleep:shutdown") held on the system bus; logind drops it when the process ends.
// On a simulated machine the inhibitor is the file DIR/sleep-inhibitor, holding what, who, why
// and mode on one line while it is held. Windows has no such lock to take. Any thread.
namespace platform {

enum class InhibitResult {
    taken,
    absent, // no logind to ask: nothing to take
    failed,
};

// A held inhibitor; released when it goes.
class InhibitorLock {
public:
    virtual ~InhibitorLock() = default;
};

class SleepInhibitor {
public:
    static constexpr const char* kWhat = "sleep:shutdown";
    static constexpr const char* kWho = "Kestrel";
    static constexpr const char* kMode = "block";

    struct Outcome {
        InhibitResult result = InhibitResult::taken;
        std::string detail;
        // Nothing changed: it was held already.
        bool alreadyHeld = false;
    };

    SleepInhibitor() = default;
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // Takes the inhibitor, saying `why`; a held one stays.
    Outcome take(const std::string& why);
    // Drops it; false when none was held.
    bool release();
    bool held() const;

private:
    mutable std::mutex mutex_;
    std::unique_ptr<InhibitorLock> lock_;
};

} // namespace platform
