#pragma once

#include <string>

// What the workflow asks of the windows and the application. Every operation has a default that
// only logs its call and returns a neutral value.
struct WindowTrait {
    virtual ~WindowTrait() = default;
    virtual int openWindow(int window, int parent, int stateNumber);
    virtual int refreshWindow(int window);
    virtual int closeWindow(int window);
    virtual int terminateApp();
    virtual int powerFromWallOutlet(bool onBattery, int batteryPercent);
    virtual std::wstring modulePath(const wchar_t* name);
    virtual int installerPath(const wchar_t* directory, std::wstring& out);
    virtual int postWindowEvent(int value, int kind);
};

// The instance the workflow uses until the application installs its own.
WindowTrait& defaultWindowTrait();
