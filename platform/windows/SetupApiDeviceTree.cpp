#include "platform/windows/SetupApiDeviceTree.h"

#include "platform/NativeBackend.h"
#include "platform/windows/SetupApiCalls.h"
#include "platform/WideText.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace platform {
namespace {

constexpr DWORD kGuidTextLength = 39; // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its end

uint32_t crError(CONFIGRET result) {
    switch (result) {
    case CR_SUCCESS:
        return 0;
    case CR_NO_SUCH_DEVNODE:
    case CR_INVALID_DEVNODE:
        return DeviceTree::kNoSuchDevNode;
    case CR_NO_SUCH_VALUE:
        return DeviceTree::kNotFound;
    default:
        return DeviceTree::kInvalidParameter;
    }
}

bool parseGuid(const std::string& text, GUID& guid) {
    std::wstring wide = wideFromUtf8(text);
    return CLSIDFromString(wide.data(), &guid) == NOERROR;
}

std::string guidText(const GUID& guid) {
    wchar_t text[kGuidTextLength];
    if (StringFromGUID2(guid, text, kGuidTextLength) == 0)
        return std::string();
    return utf8FromWide(text);
}

// A device information set holding one device, opened by instance id; destroyed on every way
// out.
class DeviceInfo {
public:
    explicit DeviceInfo(const std::string& instanceId) {
        set_ = setupApiCalls().createDeviceInfoList(nullptr, nullptr);
        data_.cbSize = sizeof data_;
        if (set_ == INVALID_HANDLE_VALUE)
            error_ = GetLastError();
        else if (!setupApiCalls().openDeviceInfo(set_, wideFromUtf8(instanceId).c_str(), nullptr, 0,
                                                 &data_))
            error_ = DeviceTree::kNoSuchDevNode;
    }
    ~DeviceInfo() {
        if (set_ != INVALID_HANDLE_VALUE)
            setupApiCalls().destroyDeviceInfoList(set_);
    }
    DeviceInfo(const DeviceInfo&) = delete;
    DeviceInfo& operator=(const DeviceInfo&) = delete;

    uint32_t error() const { return error_; }
    HDEVINFO set() const { return set_; }
    SP_DEVINFO_DATA* data() { return &data_; }

    // A registry property as its raw UTF-16 bytes, with its type.
    uint32_t property(DWORD property, std::wstring& value, DWORD& type) {
        DWORD size = 0;
        setupApiCalls().getDeviceRegistryProperty(set_, &data_, property, &type, nullptr, 0, &size);
        if (size == 0)
            return DeviceTree::kInvalidData;
        std::vector<BYTE> buffer(size + sizeof(wchar_t) * 2, 0);
        if (!setupApiCalls().getDeviceRegistryProperty(set_, &data_, property, &type, buffer.data(),
                                                       size, nullptr))
            return DeviceTree::kInvalidData;
        value.assign(reinterpret_cast<const wchar_t*>(buffer.data()), size / sizeof(wchar_t));
        return 0;
    }

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data_{};
    uint32_t error_ = 0;
};

// The device instances of the present devices. They stay valid after the set is destroyed: a
// device instance is the configuration manager's handle of the device node, good while the node
// exists (wine ties its numbers to the set, one of the reasons its SetupAPI cannot serve here).
uint32_t presentDevices(const GUID* classGuid, const wchar_t* enumerator, DWORD flags,
                        std::vector<DevNode>& nodes) {
    nodes.clear();
    const SetupApiCalls& calls = setupApiCalls();
    const HDEVINFO set = calls.getClassDevs(classGuid, enumerator, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE)
        return GetLastError();
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; calls.enumDeviceInfo(set, index, &data); ++index)
        nodes.push_back(data.DevInst);
    calls.destroyDeviceInfoList(set);
    return 0;
}

std::vector<std::string> multiText(const std::wstring& value) {
    std::vector<std::string> texts;
    size_t start = 0;
    while (start < value.size() && value[start] != L'\0') {
        const size_t end = value.find(L'\0', start);
        texts.push_back(utf8FromWide(value.substr(start, end - start)));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return texts;
}

std::string singleText(const std::wstring& value) {
    return utf8FromWide(value.substr(0, value.find(L'\0')));
}

// A registry property (SPDRP_*) of the device with instance id `id`.
uint32_t registryProperty(const std::string& id, DWORD which, std::wstring& value) {
    DeviceInfo device(id);
    if (device.error() != 0)
        return device.error();
    DWORD type = 0;
    return device.property(which, value, type);
}

bool isText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Whether a text value holds 8-bit characters although its type is a UTF-16 one, as some
// drivers write it: a port name is plain ASCII, so its UTF-16 form has a zero byte after its
// first character, while the 8-bit form ("COM12" in 6 bytes) has its first zero byte as the
// terminator, or none at all.
bool holdsEightBitText(const std::vector<BYTE>& data) {
    if (data.size() % sizeof(wchar_t) != 0)
        return true;
    return data.size() >= sizeof(wchar_t) && data[0] != 0 && data[1] != 0 && data[0] < 0x80 &&
           data[1] < 0x80;
}

// The first text of a registry value of `data.size()` bytes, with or without its terminator.
std::string registryText(const std::vector<BYTE>& data) {
    if (holdsEightBitText(data)) {
        const auto* text = reinterpret_cast<const char*>(data.data());
        return std::string(text, std::find(text, text + data.size(), '\0'));
    }
    std::wstring wide(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(wide.data(), data.data(), wide.size() * sizeof(wchar_t));
    return singleText(wide);
}

// Opens a device name with `createFile`: the table's for the tree's own device names, the
// system's for probeSystemDevice.
using CreateFileCall = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                       HANDLE);
HANDLE openDevice(CreateFileCall createFile, const std::string& name, OpenMode mode) {
    const bool exclusive = mode == OpenMode::Exclusive;
    return createFile(wideFromUtf8(name).c_str(), exclusive ? GENERIC_READ | GENERIC_WRITE : 0,
                      exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

SetupApiDeviceTree::~SetupApiDeviceTree() {
    window_.stop();
}

uint32_t SetupApiDeviceTree::devicesOfClass(const std::string& classGuid,
                                            std::vector<DevNode>& nodes) {
    GUID guid{};
    if (!parseGuid(classGuid, guid))
        return kInvalidParameter;
    return presentDevices(&guid, nullptr, DIGCF_PRESENT, nodes);
}

uint32_t SetupApiDeviceTree::devicesOfEnumerator(const std::string& enumerator,
                                                 std::vector<DevNode>& nodes) {
    const std::wstring wide = wideFromUtf8(enumerator);
    return presentDevices(nullptr, wide.c_str(), DIGCF_PRESENT | DIGCF_ALLCLASSES, nodes);
}

uint32_t SetupApiDeviceTree::parent(DevNode node, DevNode& parentNode) {
    DEVINST found = 0;
    const uint32_t error = crError(setupApiCalls().getParent(&found, node, 0));
    parentNode = error == 0 ? found : 0;
    return error;
}

uint32_t SetupApiDeviceTree::children(DevNode node, std::vector<DevNode>& childNodes) {
    childNodes.clear();
    DEVINST child = 0;
    const SetupApiCalls& calls = setupApiCalls();
    if (calls.getChild(&child, node, 0) != CR_SUCCESS)
        return 0; // no children
    do {
        childNodes.push_back(child);
    } while (calls.getSibling(&child, child, 0) == CR_SUCCESS);
    return 0;
}

uint32_t SetupApiDeviceTree::instanceId(DevNode node, std::string& id) {
    wchar_t text[MAX_DEVICE_ID_LEN + 1] = {};
    const uint32_t error = crError(setupApiCalls().getDeviceId(node, text, MAX_DEVICE_ID_LEN, 0));
    id = error == 0 ? utf8FromWide(text) : std::string();
    return error;
}

uint32_t SetupApiDeviceTree::hardwareIds(DevNode node, std::vector<std::string>& ids) {
    ids.clear();
    std::string id;
    if (const uint32_t error = instanceId(node, id); error != 0)
        return error;
    std::wstring value;
    if (const uint32_t error = registryProperty(id, SPDRP_HARDWAREID, value); error != 0)
        return error;
    ids = multiText(value);
    return 0;
}

uint32_t SetupApiDeviceTree::textProperty(DevNode node, TextProperty property, std::string& value) {
    value.clear();
    std::string id;
    if (const uint32_t error = instanceId(node, id); error != 0)
        return error;
    std::wstring text;
    const DWORD which =
        property == TextProperty::FriendlyName ? SPDRP_FRIENDLYNAME : SPDRP_DEVICEDESC;
    if (const uint32_t error = registryProperty(id, which, text); error != 0)
        return error;
    value = singleText(text);
    return 0;
}

uint32_t SetupApiDeviceTree::status(DevNode node, uint32_t& statusBits, uint32_t& problem) {
    ULONG bits = 0;
    ULONG number = 0;
    const uint32_t error = crError(setupApiCalls().getStatus(&bits, &number, node, 0));
    statusBits = bits;
    problem = number;
    return error;
}

uint32_t SetupApiDeviceTree::registryValue(DevNode node, RegistryKey key, const std::string& name,
                                           std::string& value) {
    value.clear();
    std::string id;
    if (const uint32_t error = instanceId(node, id); error != 0)
        return error;
    DeviceInfo device(id);
    if (device.error() != 0)
        return device.error();
    const SetupApiCalls& calls = setupApiCalls();
    const HKEY opened =
        calls.openDevRegKey(device.set(), device.data(), DICS_FLAG_GLOBAL, 0,
                            key == RegistryKey::Hardware ? DIREG_DEV : DIREG_DRV, KEY_READ);
    if (opened == INVALID_HANDLE_VALUE)
        return kInvalidHandle;
    const std::wstring valueName = wideFromUtf8(name);
    DWORD type = 0;
    DWORD size = 0;
    uint32_t error = kNotFound;
    if (calls.queryValue(opened, valueName.c_str(), nullptr, &type, nullptr, &size) ==
        ERROR_SUCCESS) {
        std::vector<BYTE> data(size);
        error = kInvalidData;
        if (isText(type) &&
            calls.queryValue(opened, valueName.c_str(), nullptr, &type, data.data(), &size) ==
                ERROR_SUCCESS &&
            isText(type)) {
            data.resize(std::min<size_t>(size, data.size()));
            value = registryText(data);
            error = 0;
        }
    }
    calls.closeKey(opened);
    return error;
}

uint32_t SetupApiDeviceTree::enumClassGuid(const std::string& instanceId, std::string& classGuid) {
    classGuid.clear();
    DeviceInfo device(instanceId);
    if (device.error() != 0)
        return device.error();
    classGuid = guidText(device.data()->ClassGuid);
    return classGuid.empty() ? kNotFound : 0;
}

uint32_t SetupApiDeviceTree::driverVersion(const std::string& instanceId, uint64_t& version) {
    version = 0;
    DeviceInfo device(instanceId);
    if (device.error() != 0)
        return device.error();
    const SetupApiCalls& calls = setupApiCalls();
    // Only the installed driver: a full compatible list ranks in-box drivers and older
    // packages of the driver store too, and building it searches the whole store.
    // The installed driver may be one that is excluded from selection, so those are allowed.
    SP_DEVINSTALL_PARAMS_W parameters{};
    parameters.cbSize = sizeof parameters;
    if (!calls.getInstallParams(device.set(), device.data(), &parameters))
        return GetLastError();
    parameters.FlagsEx |= DI_FLAGSEX_INSTALLEDDRIVER | DI_FLAGSEX_ALLOWEXCLUDEDDRVS;
    if (!calls.setInstallParams(device.set(), device.data(), &parameters))
        return GetLastError();
    if (!calls.buildDriverInfoList(device.set(), device.data(), SPDIT_COMPATDRIVER))
        return GetLastError();
    SP_DRVINFO_DATA_W driver{};
    driver.cbSize = sizeof driver;
    const bool found =
        calls.enumDriverInfo(device.set(), device.data(), SPDIT_COMPATDRIVER, 0, &driver);
    calls.destroyDriverInfoList(device.set(), device.data(), SPDIT_COMPATDRIVER);
    if (!found)
        return kNotFound;
    version = driver.DriverVersion;
    return 0;
}

uint32_t SetupApiDeviceTree::probeDevice(const std::string& name, OpenMode mode) {
    const SetupApiCalls& calls = setupApiCalls();
    const HANDLE device = openDevice(calls.createFile, name, mode);
    if (device == INVALID_HANDLE_VALUE)
        return GetLastError();
    calls.closeHandle(device);
    return 0;
}

uint32_t SetupApiDeviceTree::controlDevice(const std::string& name, uint32_t code, void* output,
                                           size_t outputSize, size_t& returned) {
    returned = 0;
    const SetupApiCalls& calls = setupApiCalls();
    const HANDLE device = openDevice(calls.createFile, name, OpenMode::Query);
    if (device == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD filled = 0;
    const bool done = calls.deviceIoControl(device, code, nullptr, 0, output,
                                            static_cast<DWORD>(outputSize), &filled, nullptr) != 0;
    const uint32_t error = done ? 0 : GetLastError();
    calls.closeHandle(device);
    returned = filled;
    return error;
}

uint64_t SetupApiDeviceTree::subscribe(const NotificationFilter& filter,
                                       DeviceTreeListener listener) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!listening_ && !startListening())
        return 0;
    const uint64_t id = nextId_++;
    subscriptions_[id] = Subscription{filter, std::move(listener)};
    return id;
}

bool SetupApiDeviceTree::startListening() {
    auto registration = std::make_shared<HDEVNOTIFY>(nullptr);
    listening_ = window_.start(
        [registration](HWND window) {
            // Ports and "nodes changed" reach every top-level window without a registration;
            // interfaces only with one.
            DEV_BROADCAST_DEVICEINTERFACE_W interfaces{};
            interfaces.dbcc_size = sizeof interfaces;
            interfaces.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            *registration = setupApiCalls().registerNotification(
                window, &interfaces,
                DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
            return *registration != nullptr;
        },
        [this](UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
            if (message != WM_DEVICECHANGE)
                return false;
            result = TRUE;
            return deviceChange(wParam, lParam);
        },
        [registration](HWND) {
            if (*registration != nullptr)
                setupApiCalls().unregisterNotification(*registration);
            *registration = nullptr;
        });
    return listening_;
}

void SetupApiDeviceTree::unsubscribe(uint64_t id) {
    std::lock_guard<std::mutex> guard(mutex_);
    subscriptions_.erase(id);
}

bool SetupApiDeviceTree::deviceChange(WPARAM event, LPARAM data) {
    DeviceTreeChange change;
    if (event == DBT_DEVNODES_CHANGED) {
        change.kind = DeviceTreeChange::Kind::NodesChanged;
        deliver(change);
        return true;
    }
    if ((event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) || data == 0)
        return false;
    const bool arrival = event == DBT_DEVICEARRIVAL;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
        change.kind = arrival ? DeviceTreeChange::Kind::InterfaceArrival
                              : DeviceTreeChange::Kind::InterfaceRemoval;
        change.interfaceClass = guidText(device->dbcc_classguid);
        change.name = utf8FromWide(device->dbcc_name);
    } else if (header->dbch_devicetype == DBT_DEVTYP_PORT) {
        const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_W*>(data);
        change.kind =
            arrival ? DeviceTreeChange::Kind::PortArrival : DeviceTreeChange::Kind::PortRemoval;
        change.name = utf8FromWide(port->dbcp_name);
    } else {
        return false;
    }
    deliver(change);
    return true;
}

void SetupApiDeviceTree::deliver(const DeviceTreeChange& change) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [id, subscription] : subscriptions_) {
        const NotificationFilter& filter = subscription.filter;
        bool wanted = false;
        switch (change.kind) {
        case DeviceTreeChange::Kind::NodesChanged:
            wanted = filter.nodesChanged;
            break;
        case DeviceTreeChange::Kind::PortArrival:
        case DeviceTreeChange::Kind::PortRemoval:
            wanted = filter.ports;
            break;
        case DeviceTreeChange::Kind::InterfaceArrival:
        case DeviceTreeChange::Kind::InterfaceRemoval:
            for (const std::string& interfaceClass : filter.interfaceClasses)
                wanted = wanted ||
                         CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, interfaceClass.c_str(),
                                        -1, change.interfaceClass.c_str(), -1) == CSTR_EQUAL;
            break;
        }
        if (wanted)
            subscription.listener(change);
    }
}

uint32_t probeSystemDevice(const std::string& name, OpenMode mode) {
    const HANDLE device = openDevice(CreateFileW, name, mode);
    if (device == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(device);
    return 0;
}

} // namespace platform
