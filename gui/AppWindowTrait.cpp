#include "app/util/Log.h"

#include "gui/AppWindowTrait.h"

#include "app/StateMachine.h"
#include "app/TraitEvent.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"

namespace Kestrel {
namespace {

log4cplus::Logger mainLogger() {
    return Log::logger("kestrel.app.main");
}

void post(int32_t kind, int32_t arg1, int32_t arg2, int32_t arg3) {
    postTraitEvent(TraitEvent(kind, arg1, arg2, arg3));
}

} // namespace

int AppWindowTrait::openWindow(int window, int parent, int stateNumber) {
    KESTREL_DEBUG(mainLogger(), "AppWindowTrait::openWindow(" << window << ", " << parent << ", "
                                                              << stateNumber << ")");
    post(ctetOpenWindow, window, parent, stateNumber);
    return 0;
}

int AppWindowTrait::refreshWindow(int window) {
    KESTREL_DEBUG(mainLogger(), "AppWindowTrait::refreshWindow(" << window << ")");
    post(ctetRefreshWindow, window, 0, 0);
    return 0;
}

int AppWindowTrait::closeWindow(int window) {
    KESTREL_DEBUG(mainLogger(), "AppWindowTrait::closeWindow(" << window << ")");
    post(ctetCloseWindow, window, 0, 0);
    return 0;
}

int AppWindowTrait::terminateApp() {
    KESTREL_DEBUG(mainLogger(), "AppWindowTrait::terminateApp()");
    post(ctetTerminateApp, 0, 0, 0);
    return 0;
}

int AppWindowTrait::powerFromWallOutlet(bool onBattery, int batteryPercent) {
    KESTREL_DEBUG(mainLogger(), "AppWindowTrait::powerFromWallOutlet("
                                    << (onBattery ? 1 : 0) << ", " << batteryPercent << ")");
    UpdateTrait* updateTrait = StateMachine::instance().updateTrait;
    if (updateTrait != nullptr && updateTrait->updateInfo != nullptr)
        updateTrait->updateInfo->setHint(HintBattery, onBattery);
    post(ctetPower, onBattery ? 1 : 0, batteryPercent, 0);
    return 0;
}

int AppWindowTrait::postWindowEvent(int value, int kind) {
    KESTREL_DEBUG(mainLogger(), "AppWindowTrait::postWindowEvent(" << value << ", " << kind << ")");
    post(kind, value, 0, 0);
    return 0;
}

} // namespace Kestrel
