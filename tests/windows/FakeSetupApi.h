#pragma once

#include "platform/DeviceTreeInMemory.h"
#include "platform/windows/SetupApiCalls.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// A device tree served through the SetupAPI table the way Windows serves one: device
// information sets and their device data, UTF-16 registry properties and keys, configuration
// manager nodes and status, driver lists, driver device names, and WM_DEVICECHANGE with
// DEV_BROADCAST_* records sent to the windows registered for device interfaces. The devices
// are device files (the simulated machine's JSON), plugged and unplugged by name; the COM ports
// their PortName values give, and their device names, open while they are plugged, unless the
// system has them.
// One fake at a time; it installs its table while it lives.
class FakeSetupApi {
public:
    FakeSetupApi();
    // Serves `devices` instead of groups plugged by the test (a simulated machine's device
    // files, watched as they change).
    explicit FakeSetupApi(std::shared_ptr<platform::InMemoryDeviceTree> devices);
    ~FakeSetupApi();
    FakeSetupApi(const FakeSetupApi&) = delete;
    FakeSetupApi& operator=(const FakeSetupApi&) = delete;

    // Plugs in (or replaces) a group of devices from a device file's text; the arrivals reach
    // the registered windows before it returns. False with `problem` for a bad file.
    bool plug(const std::string& name, const std::string& deviceFile, std::string& problem);
    bool plug(const std::string& name, const platform::DeviceGroup& described,
              std::string& problem);
    void unplug(const std::string& name);

    // A registry value of a node's hardware key with its own type and bytes, as a driver may
    // have written it (instead of the device file's UTF-16 text).
    void setRawHardwareValue(const std::string& instanceId, const std::string& name, DWORD type,
                             const std::string& bytes);
    // Drivers of the driver store that a full compatible list ranks before the installed one.
    void setStoreDrivers(const std::string& instanceId, const std::vector<uint64_t>& versions);
    // RegisterDeviceNotificationW fails with this error from now on (0: succeeds).
    void failRegistrations(DWORD error);

    // Device information sets and registry keys handed out and not yet given back.
    size_t openSets() const;
    size_t openKeys() const;
    size_t registeredWindows() const;

    // The node of a plugged device, 0 when there is none.
    platform::DevNode node(const std::string& group, const std::string& id) const;

    // The fake in use, for the table's functions.
    static FakeSetupApi* current();

    struct DeviceSet;
    struct RegistryKeyHandle;
    struct DeviceNameHandle;

    HDEVINFO getClassDevs(const GUID* classGuid, PCWSTR enumerator, DWORD flags);
    HDEVINFO createDeviceInfoList();
    BOOL openDeviceInfo(HDEVINFO set, PCWSTR instanceId, PSP_DEVINFO_DATA data);
    BOOL enumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
    BOOL destroyDeviceInfoList(HDEVINFO set);
    BOOL getDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                   PBYTE buffer, DWORD size, PDWORD required);
    HKEY openDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD keyType);
    LSTATUS queryValue(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD size);
    LSTATUS closeKey(HKEY key);
    BOOL getInstallParams(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_W params);
    BOOL setInstallParams(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_W params);
    BOOL buildDriverInfoList(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD type);
    BOOL enumDriverInfo(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD type, DWORD index,
                        PSP_DRVINFO_DATA_W driver);
    BOOL destroyDriverInfoList(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD type);
    CONFIGRET getParent(PDEVINST parent, DEVINST node);
    CONFIGRET getChild(PDEVINST child, DEVINST node);
    CONFIGRET getSibling(PDEVINST sibling, DEVINST node);
    CONFIGRET getDeviceId(DEVINST node, PWSTR buffer, ULONG length);
    CONFIGRET getStatus(PULONG status, PULONG problem, DEVINST node);
    HDEVNOTIFY registerNotification(HANDLE recipient, LPVOID filter, DWORD flags);
    BOOL unregisterNotification(HDEVNOTIFY registration);
    HANDLE createFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD attributes, HANDLE templateFile);
    BOOL deviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                         DWORD outputSize, LPDWORD returned, LPOVERLAPPED overlapped);
    BOOL closeHandle(HANDLE handle);

private:
    struct RawValue {
        DWORD type = REG_SZ;
        std::string bytes;
    };

    DeviceSet* findSet(HDEVINFO set) const;
    bool checkDevice(DeviceSet* set, PSP_DEVINFO_DATA data) const;
    void fill(PSP_DEVINFO_DATA data, platform::DevNode node) const;
    platform::DevNode findInstance(const std::string& instanceId) const;
    void watchClasses(const platform::DeviceGroup* group);
    bool knowsPort(const std::string& name) const;
    void send(const platform::DeviceTreeChange& change);

    std::shared_ptr<platform::InMemoryDeviceTree> tree_;
    uint64_t subscription_ = 0;
    std::set<std::string> classes_;

    mutable std::mutex mutex_;
    std::set<DeviceSet*> sets_;
    std::set<RegistryKeyHandle*> keys_;
    std::set<DeviceNameHandle*> deviceNames_;
    std::map<HDEVNOTIFY, HWND> registrations_;
    uintptr_t nextRegistration_ = 1;
    DWORD registrationError_ = 0;
    std::map<std::pair<std::string, std::string>, RawValue> rawValues_;
    std::map<std::string, std::vector<uint64_t>> storeDrivers_;
};
