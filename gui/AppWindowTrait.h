#pragma once

#include "app/WindowTrait.h"

namespace Kestrel {

// The window trait of the application: every request becomes a TraitEvent posted to the
// application object, which carries it out on the GUI thread.
struct AppWindowTrait : WindowTrait {
    int openWindow(int window, int parent, int stateNumber) override;
    int refreshWindow(int window) override;
    int closeWindow(int window) override;
    int terminateApp() override;
    int powerFromWallOutlet(bool onBattery, int batteryPercent) override;
    int postWindowEvent(int value, int kind) override;
};

} // namespace Kestrel
