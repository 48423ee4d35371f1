#pragma once

#include <windows.h>

#include <cfgmgr32.h>
#include <dbt.h>
#include <setupapi.h>

namespace platform {

// The SetupAPI, configuration manager and registry calls the SetupAPI device tree makes, as one
// table with the systems' own signatures: the system's functions by default; a test installs a
// table that serves a device tree of its own (wine's configuration manager cannot show one).
struct SetupApiCalls {
    HDEVINFO(WINAPI* getClassDevs)(const GUID*, PCWSTR, HWND, DWORD);
    HDEVINFO(WINAPI* createDeviceInfoList)(const GUID*, HWND);
    BOOL(WINAPI* openDeviceInfo)(HDEVINFO, PCWSTR, HWND, DWORD, PSP_DEVINFO_DATA);
    BOOL(WINAPI* enumDeviceInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
    BOOL(WINAPI* destroyDeviceInfoList)(HDEVINFO);
    BOOL(WINAPI* getDeviceRegistryProperty)
    (HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
    HKEY(WINAPI* openDevRegKey)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
    LSTATUS(WINAPI* queryValue)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LSTATUS(WINAPI* closeKey)(HKEY);
    BOOL(WINAPI* getInstallParams)(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W);
    BOOL(WINAPI* setInstallParams)(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W);
    BOOL(WINAPI* buildDriverInfoList)(HDEVINFO, PSP_DEVINFO_DATA, DWORD);
    BOOL(WINAPI* enumDriverInfo)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, PSP_DRVINFO_DATA_W);
    BOOL(WINAPI* destroyDriverInfoList)(HDEVINFO, PSP_DEVINFO_DATA, DWORD);
    CONFIGRET(WINAPI* getParent)(PDEVINST, DEVINST, ULONG);
    CONFIGRET(WINAPI* getChild)(PDEVINST, DEVINST, ULONG);
    CONFIGRET(WINAPI* getSibling)(PDEVINST, DEVINST, ULONG);
    CONFIGRET(WINAPI* getDeviceId)(DEVINST, PWSTR, ULONG, ULONG);
    CONFIGRET(WINAPI* getStatus)(PULONG, PULONG, DEVINST, ULONG);
    HDEVNOTIFY(WINAPI* registerNotification)(HANDLE, LPVOID, DWORD);
    BOOL(WINAPI* unregisterNotification)(HDEVNOTIFY);
    // Device names of drivers ("\\.\NAME"): probed and asked for their adapter.
    HANDLE(WINAPI* createFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* deviceIoControl)
    (HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* closeHandle)(HANDLE);
};

// The table in use.
const SetupApiCalls& setupApiCalls();

// Replaces the table (tests); null returns to the system's. Install it before the device tree
// is made and keep it alive while the tree exists.
void installSetupApiCalls(const SetupApiCalls* calls);

} // namespace platform
