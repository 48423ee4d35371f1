#pragma once

// Internal link between the message windows and the power source: the source of the process
// (the simulated machine's files, or the Linux system) watches only while a window listens.
namespace platform {

// Called by the message windows with true when the first window registers for power broadcasts
// and with false when the last registration goes.
void powerListenersChanged(bool anyListener);

} // namespace platform

#include <memory>

namespace platform {

// A running power source: publishes standby, resume and status-change broadcasts through
// publishPowerEvent until destroyed.
class PowerSource {
public:
    virtual ~PowerSource() = default;
};

} // namespace platform
