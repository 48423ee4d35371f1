#include "app/WindowTrait.h"

#include "app/TraitLog.h"

using Kestrel::fsmLogger;

int WindowTrait::openWindow(int window, int parent, int stateNumber) {
    KESTREL_DEBUG(fsmLogger(), "WindowTrait::openWindow(" << window << ", " << parent << ", "
                                                          << stateNumber << ")");
    return 0;
}

int WindowTrait::refreshWindow(int window) {
    KESTREL_DEBUG(fsmLogger(), "WindowTrait::refreshWindow(" << window << ")");
    return 0;
}

int WindowTrait::closeWindow(int window) {
    KESTREL_DEBUG(fsmLogger(), "WindowTrait::closeWindow(" << window << ")");
    return 0;
}

int WindowTrait::terminateApp() {
    KESTREL_DEBUG(fsmLogger(), "WindowTrait::terminateApp()");
    return 0;
}

int WindowTrait::powerFromWallOutlet(bool onBattery, int batteryPercent) {
    KESTREL_DEBUG(fsmLogger(), "WindowTrait::powerFromWallOutlet(" << (onBattery ? 1 : 0) << ","
                                                                   << batteryPercent << ")");
    return 0;
}

std::wstring WindowTrait::modulePath(const wchar_t* name) {
    KESTREL_DEBUG(fsmLogger(), "WindowTrait::modulePath(" << Kestrel::narrowForLog(name) << ")");
    return name != nullptr ? std::wstring(name) : std::wstring();
}

int WindowTrait::installerPath(const wchar_t* directory, std::wstring& out) {
    KESTREL_DEBUG(fsmLogger(), "WindowTrait::installerPath(" << Kestrel::narrowForLog(directory)
                                                             << ", " << Kestrel::HexPointer{&out}
                                                             << ")");
    out = directory != nullptr ? std::wstring(directory) : std::wstring();
    out += L"\\setup.exe";
    return 0;
}

int WindowTrait::postWindowEvent(int value, int) {
    KESTREL_DEBUG(fsmLogger(), "WindowTrait::postWindowEvent(" << value << ")");
    return 0;
}

WindowTrait& defaultWindowTrait() {
    static WindowTrait trait;
    return trait;
}
