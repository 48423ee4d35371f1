#include "platform/Power.h"

#include "platform/NativeBackend.h"
#include "platform/PowerWatcher.h"
#include "platform/SystemPaths.h"
#include "platform/sim/PowerSimulated.h"

#include <mutex>

namespace platform {
namespace {

struct PowerWatch {
    std::mutex mutex;
    std::unique_ptr<PowerSource> source;
};

PowerWatch& powerWatch() {
    static PowerWatch* watch = new PowerWatch;
    return *watch;
}

} // namespace

PowerStatus readPowerStatus(std::string* problem) {
    if (const auto root = simulatedMachineRoot())
        return readSimulatedPowerStatus(*root, problem);
    return readSystemPowerStatus();
}

void powerListenersChanged(bool anyListener) {
    PowerWatch& watch = powerWatch();
    std::unique_ptr<PowerSource> stopping;
    std::lock_guard<std::mutex> guard(watch.mutex);
    if (!anyListener) {
        stopping = std::move(watch.source);
        return;
    }
    if (watch.source)
        return;
    if (const auto root = simulatedMachineRoot())
        watch.source = startSimulatedPowerSource(*root);
    else
        watch.source = startSystemPowerSource();
}

} // namespace platform
