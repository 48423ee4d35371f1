#include "FakeSetupApi.h"

#include "platform/DeviceTreeFile.h"
#include "platform/WideText.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>

namespace {

using platform::DeviceTree;
using platform::DevNode;
using platform::InMemoryDeviceTree;

constexpr const wchar_t* kDevicePrefix = L"\\\\.\\";

FakeSetupApi* fake = nullptr;

std::string guidText(const GUID& guid) {
    wchar_t text[40];
    return StringFromGUID2(guid, text, 40) == 0 ? std::string() : platform::utf8FromWide(text);
}

GUID guidOf(const std::string& text) {
    GUID guid{};
    if (!text.empty())
        CLSIDFromString(platform::wideFromUtf8(text).c_str(), &guid);
    return guid;
}

// UTF-16 bytes of texts, each with its terminator, and one more for a multi-string.
std::string utf16Bytes(const std::vector<std::string>& texts, bool multi) {
    std::wstring wide;
    for (const std::string& text : texts) {
        wide += platform::wideFromUtf8(text);
        wide.push_back(L'\0');
    }
    if (multi)
        wide.push_back(L'\0');
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

// Copies `bytes` the way the registry calls do: the size always, the data when it fits.
LSTATUS copyOut(const std::string& bytes, LPBYTE data, LPDWORD size) {
    if (size == nullptr)
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    const DWORD room = *size;
    *size = static_cast<DWORD>(bytes.size());
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (room < bytes.size())
        return ERROR_MORE_DATA;
    std::memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

// The table's entries: the systems' signatures, handed to the fake in use.
HDEVINFO WINAPI getClassDevs(const GUID* guid, PCWSTR enumerator, HWND, DWORD flags) {
    return fake->getClassDevs(guid, enumerator, flags);
}
HDEVINFO WINAPI createDeviceInfoList(const GUID*, HWND) {
    return fake->createDeviceInfoList();
}
BOOL WINAPI openDeviceInfo(HDEVINFO set, PCWSTR id, HWND, DWORD, PSP_DEVINFO_DATA data) {
    return fake->openDeviceInfo(set, id, data);
}
BOOL WINAPI enumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    return fake->enumDeviceInfo(set, index, data);
}
BOOL WINAPI destroyDeviceInfoList(HDEVINFO set) {
    return fake->destroyDeviceInfoList(set);
}
BOOL WINAPI getDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                      PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    return fake->getDeviceRegistryProperty(set, data, property, type, buffer, size, required);
}
HKEY WINAPI openDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD, DWORD, DWORD keyType,
                          REGSAM) {
    return fake->openDevRegKey(set, data, keyType);
}
LSTATUS WINAPI queryValue(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                          LPDWORD size) {
    return fake->queryValue(key, name, type, data, size);
}
LSTATUS WINAPI closeKey(HKEY key) {
    return fake->closeKey(key);
}
BOOL WINAPI getInstallParams(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_W params) {
    return fake->getInstallParams(set, data, params);
}
BOOL WINAPI setInstallParams(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_W params) {
    return fake->setInstallParams(set, data, params);
}
BOOL WINAPI buildDriverInfoList(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD type) {
    return fake->buildDriverInfoList(set, data, type);
}
BOOL WINAPI enumDriverInfo(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD type, DWORD index,
                           PSP_DRVINFO_DATA_W driver) {
    return fake->enumDriverInfo(set, data, type, index, driver);
}
BOOL WINAPI destroyDriverInfoList(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD type) {
    return fake->destroyDriverInfoList(set, data, type);
}
CONFIGRET WINAPI getParent(PDEVINST parent, DEVINST node, ULONG) {
    return fake->getParent(parent, node);
}
CONFIGRET WINAPI getChild(PDEVINST child, DEVINST node, ULONG) {
    return fake->getChild(child, node);
}
CONFIGRET WINAPI getSibling(PDEVINST sibling, DEVINST node, ULONG) {
    return fake->getSibling(sibling, node);
}
CONFIGRET WINAPI getDeviceId(DEVINST node, PWSTR buffer, ULONG length, ULONG) {
    return fake->getDeviceId(node, buffer, length);
}
CONFIGRET WINAPI getStatus(PULONG status, PULONG problem, DEVINST node, ULONG) {
    return fake->getStatus(status, problem, node);
}
HDEVNOTIFY WINAPI registerNotification(HANDLE recipient, LPVOID filter, DWORD flags) {
    return fake->registerNotification(recipient, filter, flags);
}
BOOL WINAPI unregisterNotification(HDEVNOTIFY registration) {
    return fake->unregisterNotification(registration);
}
HANDLE WINAPI createFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD attributes, HANDLE templateFile) {
    return fake->createFile(name, access, share, security, disposition, attributes, templateFile);
}
BOOL WINAPI deviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                            DWORD outputSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    return fake->deviceIoControl(device, code, input, inputSize, output, outputSize, returned,
                                 overlapped);
}
BOOL WINAPI closeHandle(HANDLE handle) {
    return fake->closeHandle(handle);
}

const platform::SetupApiCalls kFakeCalls = {
    getClassDevs,
    createDeviceInfoList,
    openDeviceInfo,
    enumDeviceInfo,
    destroyDeviceInfoList,
    getDeviceRegistryProperty,
    openDevRegKey,
    queryValue,
    closeKey,
    getInstallParams,
    setInstallParams,
    buildDriverInfoList,
    enumDriverInfo,
    destroyDriverInfoList,
    getParent,
    getChild,
    getSibling,
    getDeviceId,
    getStatus,
    registerNotification,
    unregisterNotification,
    createFile,
    deviceIoControl,
    closeHandle,
};

} // namespace

struct FakeSetupApi::DeviceSet {
    std::vector<DevNode> nodes;
    std::map<DevNode, DWORD> flagsEx;
    std::map<DevNode, std::vector<uint64_t>> drivers;
};

struct FakeSetupApi::RegistryKeyHandle {
    DevNode node = 0;
    platform::RegistryKey key = platform::RegistryKey::Hardware;
};

struct FakeSetupApi::DeviceNameHandle {
    std::string name;
};

FakeSetupApi::FakeSetupApi() : FakeSetupApi(std::make_shared<InMemoryDeviceTree>()) {}

FakeSetupApi::FakeSetupApi(std::shared_ptr<InMemoryDeviceTree> devices)
    : tree_(std::move(devices)) {
    fake = this;
    platform::installSetupApiCalls(&kFakeCalls);
    watchClasses(nullptr);
}

FakeSetupApi::~FakeSetupApi() {
    platform::installSetupApiCalls(nullptr);
    if (subscription_ != 0)
        tree_->unsubscribe(subscription_);
    fake = nullptr;
    for (DeviceSet* set : sets_)
        delete set;
    for (RegistryKeyHandle* key : keys_)
        delete key;
    for (DeviceNameHandle* device : deviceNames_)
        delete device;
}

FakeSetupApi* FakeSetupApi::current() {
    return fake;
}

bool FakeSetupApi::plug(const std::string& name, const std::string& deviceFile,
                        std::string& problem) {
    platform::DeviceGroup group;
    return platform::parseDeviceFile(deviceFile, group, problem) && plug(name, group, problem);
}

bool FakeSetupApi::plug(const std::string& name, const platform::DeviceGroup& described,
                        std::string& problem) {
    // A function's driver enables its interfaces once it has started: a node that has not
    // started, or has a problem, has none yet.
    platform::DeviceGroup group = described;
    for (auto& node : group.nodes)
        if ((node.status & platform::kNodeStarted) == 0 ||
            (node.status & platform::kNodeHasProblem) != 0)
            node.interfaces.clear();
    watchClasses(&group);
    return tree_->setGroup(name, group, &problem);
}

void FakeSetupApi::unplug(const std::string& name) {
    tree_->removeGroup(name);
}

// The tree tells which interfaces come and go; it is asked for the classes detection registers
// for and every class the devices have.
void FakeSetupApi::watchClasses(const platform::DeviceGroup* group) {
    const size_t known = classes_.size();
    if (classes_.empty())
        classes_ = {
            "{86E0D1E0-8089-11D0-9CE4-08003E301F73}", "{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}",
            "{4D36E978-E325-11CE-BFC1-08002BE10318}", "{A5DCBF10-6530-11D2-901F-00C04FB951ED}",
            "{AD498944-762F-11D0-8DCB-00C04FC3358C}", "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"};
    for (const auto& node :
         group != nullptr ? group->nodes : std::vector<platform::DeviceNodeDescription>())
        for (const auto& deviceInterface : node.interfaces)
            classes_.insert(deviceInterface.classGuid);
    if (subscription_ != 0 && classes_.size() == known)
        return;
    if (subscription_ != 0)
        tree_->unsubscribe(subscription_);
    platform::NotificationFilter filter;
    filter.interfaceClasses.assign(classes_.begin(), classes_.end());
    subscription_ = tree_->subscribe(
        filter, [this](const platform::DeviceTreeChange& change) { send(change); });
}

// Windows sends WM_DEVICECHANGE: the record lives only for the call.
void FakeSetupApi::send(const platform::DeviceTreeChange& change) {
    using Kind = platform::DeviceTreeChange::Kind;
    std::vector<HWND> windows;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& [registration, window] : registrations_)
            if (std::find(windows.begin(), windows.end(), window) == windows.end())
                windows.push_back(window);
    }
    const bool arrival = change.kind == Kind::InterfaceArrival || change.kind == Kind::PortArrival;
    const WPARAM event = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    const std::wstring name = platform::wideFromUtf8(change.name);
    std::vector<BYTE> record;
    if (change.kind == Kind::InterfaceArrival || change.kind == Kind::InterfaceRemoval) {
        record.resize(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + name.size() * sizeof(wchar_t));
        auto* device = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record.data());
        device->dbcc_size = static_cast<DWORD>(record.size());
        device->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        device->dbcc_classguid = guidOf(change.interfaceClass);
        std::memcpy(device->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    } else if (change.kind == Kind::PortArrival || change.kind == Kind::PortRemoval) {
        record.resize(sizeof(DEV_BROADCAST_PORT_W) + name.size() * sizeof(wchar_t));
        auto* port = reinterpret_cast<DEV_BROADCAST_PORT_W*>(record.data());
        port->dbcp_size = static_cast<DWORD>(record.size());
        port->dbcp_devicetype = DBT_DEVTYP_PORT;
        std::memcpy(port->dbcp_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    }
    for (HWND window : windows) {
        if (record.empty())
            SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
        else
            SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record.data()));
    }
}

void FakeSetupApi::setRawHardwareValue(const std::string& instanceId, const std::string& name,
                                       DWORD type, const std::string& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    rawValues_[{instanceId, name}] = RawValue{type, bytes};
}

void FakeSetupApi::setStoreDrivers(const std::string& instanceId,
                                   const std::vector<uint64_t>& versions) {
    std::lock_guard<std::mutex> guard(mutex_);
    storeDrivers_[instanceId] = versions;
}

void FakeSetupApi::failRegistrations(DWORD error) {
    std::lock_guard<std::mutex> guard(mutex_);
    registrationError_ = error;
}

size_t FakeSetupApi::openSets() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sets_.size();
}

size_t FakeSetupApi::openKeys() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return keys_.size();
}

size_t FakeSetupApi::registeredWindows() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return registrations_.size();
}

DevNode FakeSetupApi::node(const std::string& group, const std::string& id) const {
    return tree_->node(group, id);
}

FakeSetupApi::DeviceSet* FakeSetupApi::findSet(HDEVINFO set) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto* found = static_cast<DeviceSet*>(set);
    return sets_.count(found) != 0 ? found : nullptr;
}

// A device data record of the set, as SetupAPI checks it.
bool FakeSetupApi::checkDevice(DeviceSet* set, PSP_DEVINFO_DATA data) const {
    if (set == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (std::find(set->nodes.begin(), set->nodes.end(), data->DevInst) == set->nodes.end())
        return fail(ERROR_INVALID_PARAMETER);
    return true;
}

void FakeSetupApi::fill(PSP_DEVINFO_DATA data, DevNode node) const {
    std::string id;
    std::string classGuid;
    tree_->instanceId(node, id);
    tree_->enumClassGuid(id, classGuid);
    data->ClassGuid = guidOf(classGuid);
    data->DevInst = node;
    data->Reserved = 0;
}

DevNode FakeSetupApi::findInstance(const std::string& instanceId) const {
    std::vector<DevNode> pending{InMemoryDeviceTree::kRootNode};
    while (!pending.empty()) {
        const DevNode node = pending.back();
        pending.pop_back();
        std::string id;
        if (node != InMemoryDeviceTree::kRootNode && tree_->instanceId(node, id) == 0 &&
            CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, id.c_str(), -1, instanceId.c_str(),
                           -1) == CSTR_EQUAL)
            return node;
        std::vector<DevNode> children;
        tree_->children(node, children);
        pending.insert(pending.end(), children.begin(), children.end());
    }
    return 0;
}

HDEVINFO FakeSetupApi::getClassDevs(const GUID* classGuid, PCWSTR enumerator, DWORD flags) {
    auto set = std::make_unique<DeviceSet>();
    uint32_t error = 0;
    if ((flags & DIGCF_ALLCLASSES) != 0 && enumerator != nullptr)
        error = tree_->devicesOfEnumerator(platform::utf8FromWide(enumerator), set->nodes);
    else if (classGuid != nullptr)
        error = tree_->devicesOfClass(guidText(*classGuid), set->nodes);
    else
        error = ERROR_INVALID_PARAMETER;
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    sets_.insert(set.get());
    return set.release();
}

HDEVINFO FakeSetupApi::createDeviceInfoList() {
    std::lock_guard<std::mutex> guard(mutex_);
    auto* set = new DeviceSet;
    sets_.insert(set);
    return set;
}

BOOL FakeSetupApi::openDeviceInfo(HDEVINFO handle, PCWSTR instanceId, PSP_DEVINFO_DATA data) {
    DeviceSet* set = findSet(handle);
    if (set == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    const DevNode node =
        instanceId != nullptr ? findInstance(platform::utf8FromWide(instanceId)) : 0;
    if (node == 0)
        return fail(ERROR_NO_SUCH_DEVINST);
    if (data != nullptr && data->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (std::find(set->nodes.begin(), set->nodes.end(), node) == set->nodes.end())
        set->nodes.push_back(node);
    if (data != nullptr)
        fill(data, node);
    return TRUE;
}

BOOL FakeSetupApi::enumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    DeviceSet* set = findSet(handle);
    if (set == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (index >= set->nodes.size())
        return fail(ERROR_NO_MORE_ITEMS);
    fill(data, set->nodes[index]);
    return TRUE;
}

BOOL FakeSetupApi::destroyDeviceInfoList(HDEVINFO handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto* set = static_cast<DeviceSet*>(handle);
    if (sets_.erase(set) == 0)
        return fail(ERROR_INVALID_HANDLE);
    delete set;
    return TRUE;
}

BOOL FakeSetupApi::getDeviceRegistryProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property,
                                             PDWORD type, PBYTE buffer, DWORD size,
                                             PDWORD required) {
    DeviceSet* set = findSet(handle);
    if (!checkDevice(set, data))
        return FALSE;
    std::string bytes;
    DWORD valueType = REG_SZ;
    if (property == SPDRP_HARDWAREID) {
        std::vector<std::string> ids;
        if (tree_->hardwareIds(data->DevInst, ids) != 0)
            return fail(ERROR_INVALID_DATA);
        bytes = utf16Bytes(ids, true);
        valueType = REG_MULTI_SZ;
    } else if (property == SPDRP_FRIENDLYNAME || property == SPDRP_DEVICEDESC) {
        std::string text;
        const auto which = property == SPDRP_FRIENDLYNAME
                               ? platform::TextProperty::FriendlyName
                               : platform::TextProperty::DeviceDescription;
        if (tree_->textProperty(data->DevInst, which, text) != 0)
            return fail(ERROR_INVALID_DATA);
        bytes = utf16Bytes({text}, false);
    } else {
        return fail(ERROR_INVALID_DATA);
    }
    if (type != nullptr)
        *type = valueType;
    if (required != nullptr)
        *required = static_cast<DWORD>(bytes.size());
    if (buffer == nullptr || size < bytes.size())
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, bytes.data(), bytes.size());
    return TRUE;
}

HKEY FakeSetupApi::openDevRegKey(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD keyType) {
    DeviceSet* set = findSet(handle);
    if (!checkDevice(set, data))
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    uint32_t status = 0;
    uint32_t problem = 0;
    tree_->status(data->DevInst, status, problem);
    // A device without a driver has no driver key.
    if (keyType == DIREG_DRV && (status & platform::kNodeDriverLoaded) == 0) {
        SetLastError(ERROR_KEY_DOES_NOT_EXIST);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    auto* key =
        new RegistryKeyHandle{data->DevInst, keyType == DIREG_DEV ? platform::RegistryKey::Hardware
                                                                  : platform::RegistryKey::Driver};
    std::lock_guard<std::mutex> guard(mutex_);
    keys_.insert(key);
    return reinterpret_cast<HKEY>(key);
}

LSTATUS FakeSetupApi::queryValue(HKEY handle, LPCWSTR name, LPDWORD type, LPBYTE data,
                                 LPDWORD size) {
    auto* key = reinterpret_cast<RegistryKeyHandle*>(handle);
    RawValue raw;
    bool haveRaw = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (keys_.count(key) == 0)
            return ERROR_INVALID_HANDLE;
        std::string id;
        tree_->instanceId(key->node, id);
        const auto found = rawValues_.find({id, platform::utf8FromWide(name)});
        haveRaw = key->key == platform::RegistryKey::Hardware && found != rawValues_.end();
        if (haveRaw)
            raw = found->second;
    }
    if (!haveRaw) {
        std::string text;
        const uint32_t error =
            tree_->registryValue(key->node, key->key, platform::utf8FromWide(name), text);
        if (error == DeviceTree::kNotFound)
            return ERROR_FILE_NOT_FOUND;
        if (error == DeviceTree::kInvalidData) {
            raw = RawValue{REG_DWORD, std::string(sizeof(DWORD), '\0')};
        } else if (error != 0) {
            return ERROR_INVALID_HANDLE;
        } else {
            raw = RawValue{REG_SZ, utf16Bytes({text}, false)};
        }
    }
    if (type != nullptr)
        *type = raw.type;
    return copyOut(raw.bytes, data, size);
}

LSTATUS FakeSetupApi::closeKey(HKEY handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto* key = reinterpret_cast<RegistryKeyHandle*>(handle);
    if (keys_.erase(key) == 0)
        return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

BOOL FakeSetupApi::getInstallParams(HDEVINFO handle, PSP_DEVINFO_DATA data,
                                    PSP_DEVINSTALL_PARAMS_W params) {
    DeviceSet* set = findSet(handle);
    if (!checkDevice(set, data))
        return FALSE;
    if (params == nullptr || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
        return fail(ERROR_INVALID_USER_BUFFER);
    const DWORD size = params->cbSize;
    std::memset(params, 0, sizeof *params);
    params->cbSize = size;
    params->FlagsEx = set->flagsEx[data->DevInst];
    return TRUE;
}

BOOL FakeSetupApi::setInstallParams(HDEVINFO handle, PSP_DEVINFO_DATA data,
                                    PSP_DEVINSTALL_PARAMS_W params) {
    DeviceSet* set = findSet(handle);
    if (!checkDevice(set, data))
        return FALSE;
    if (params == nullptr || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
        return fail(ERROR_INVALID_USER_BUFFER);
    set->flagsEx[data->DevInst] = params->FlagsEx;
    return TRUE;
}

// A compatible list holds every driver of the store that matches, best ranked first; asked
// for the installed driver only, it holds that one.
BOOL FakeSetupApi::buildDriverInfoList(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD type) {
    DeviceSet* set = findSet(handle);
    if (!checkDevice(set, data))
        return FALSE;
    if (type != SPDIT_COMPATDRIVER && type != SPDIT_CLASSDRIVER)
        return fail(ERROR_INVALID_PARAMETER);
    std::string id;
    tree_->instanceId(data->DevInst, id);
    std::vector<uint64_t> drivers;
    if ((set->flagsEx[data->DevInst] & DI_FLAGSEX_INSTALLEDDRIVER) == 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto store = storeDrivers_.find(id);
        if (store != storeDrivers_.end())
            drivers = store->second;
    }
    uint64_t installed = 0;
    if (tree_->driverVersion(id, installed) == 0)
        drivers.push_back(installed);
    set->drivers[data->DevInst] = drivers;
    return TRUE;
}

BOOL FakeSetupApi::enumDriverInfo(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD, DWORD index,
                                  PSP_DRVINFO_DATA_W driver) {
    DeviceSet* set = findSet(handle);
    if (!checkDevice(set, data))
        return FALSE;
    if (driver == nullptr || driver->cbSize != sizeof(SP_DRVINFO_DATA_W))
        return fail(ERROR_INVALID_USER_BUFFER);
    const auto& drivers = set->drivers[data->DevInst];
    if (index >= drivers.size())
        return fail(ERROR_NO_MORE_ITEMS);
    driver->DriverVersion = drivers[index];
    return TRUE;
}

BOOL FakeSetupApi::destroyDriverInfoList(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD) {
    DeviceSet* set = findSet(handle);
    if (!checkDevice(set, data))
        return FALSE;
    set->drivers.erase(data->DevInst);
    return TRUE;
}

CONFIGRET FakeSetupApi::getParent(PDEVINST parent, DEVINST node) {
    DevNode found = 0;
    if (node == InMemoryDeviceTree::kRootNode || tree_->parent(node, found) != 0)
        return CR_NO_SUCH_DEVNODE;
    *parent = found;
    return CR_SUCCESS;
}

CONFIGRET FakeSetupApi::getChild(PDEVINST child, DEVINST node) {
    std::vector<DevNode> children;
    if (tree_->children(node, children) != 0 || children.empty())
        return CR_NO_SUCH_DEVNODE;
    *child = children.front();
    return CR_SUCCESS;
}

CONFIGRET FakeSetupApi::getSibling(PDEVINST sibling, DEVINST node) {
    DevNode parent = 0;
    std::vector<DevNode> children;
    if (tree_->parent(node, parent) != 0 || tree_->children(parent, children) != 0)
        return CR_NO_SUCH_DEVNODE;
    const auto self = std::find(children.begin(), children.end(), node);
    if (self == children.end() || self + 1 == children.end())
        return CR_NO_SUCH_DEVNODE;
    *sibling = *(self + 1);
    return CR_SUCCESS;
}

CONFIGRET FakeSetupApi::getDeviceId(DEVINST node, PWSTR buffer, ULONG length) {
    std::string id;
    if (tree_->instanceId(node, id) != 0)
        return CR_INVALID_DEVNODE;
    const std::wstring wide = platform::wideFromUtf8(id);
    if (buffer == nullptr || length < wide.size())
        return CR_BUFFER_SMALL;
    std::memcpy(buffer, wide.c_str(), wide.size() * sizeof(wchar_t));
    if (length > wide.size())
        buffer[wide.size()] = L'\0';
    return CR_SUCCESS;
}

CONFIGRET FakeSetupApi::getStatus(PULONG status, PULONG problem, DEVINST node) {
    uint32_t bits = 0;
    uint32_t number = 0;
    if (tree_->status(node, bits, number) != 0)
        return CR_NO_SUCH_DEVINST;
    *status = bits;
    *problem = number;
    return CR_SUCCESS;
}

HDEVNOTIFY FakeSetupApi::registerNotification(HANDLE recipient, LPVOID filter, DWORD flags) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (registrationError_ != 0) {
        SetLastError(registrationError_);
        return nullptr;
    }
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) ||
        (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) == 0 ||
        (flags & DEVICE_NOTIFY_SERVICE_HANDLE) != 0 || !IsWindow(static_cast<HWND>(recipient))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto registration = reinterpret_cast<HDEVNOTIFY>(nextRegistration_++);
    registrations_[registration] = static_cast<HWND>(recipient);
    return registration;
}

BOOL FakeSetupApi::unregisterNotification(HDEVNOTIFY registration) {
    std::lock_guard<std::mutex> guard(mutex_);
    return registrations_.erase(registration) != 0 ? TRUE : fail(ERROR_INVALID_HANDLE);
}

// The system's devices first; the device names and COM ports of the fake's devices open
// while they are present, as their drivers would have made them.
HANDLE FakeSetupApi::createFile(LPCWSTR name, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                                HANDLE templateFile) {
    const HANDLE system =
        CreateFileW(name, access, share, security, disposition, attributes, templateFile);
    const std::wstring wide = name != nullptr ? name : L"";
    if (system != INVALID_HANDLE_VALUE || wide.rfind(kDevicePrefix, 0) != 0)
        return system;
    const DWORD systemError = GetLastError();
    const std::string device = platform::utf8FromWide(wide);
    const uint32_t served = tree_->probeDevice(device, platform::OpenMode::Query);
    if (served != 0 && !knowsPort(device.substr(4))) {
        SetLastError(served == DeviceTree::kNotFound ? systemError : served);
        return INVALID_HANDLE_VALUE;
    }
    auto* handle = new DeviceNameHandle{device};
    std::lock_guard<std::mutex> guard(mutex_);
    deviceNames_.insert(handle);
    SetLastError(0);
    return handle;
}

bool FakeSetupApi::knowsPort(const std::string& name) const {
    {
        // A port name a driver wrote as 8-bit text.
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& [value, raw] : rawValues_)
            if (value.second == "PortName" && findInstance(value.first) != 0 &&
                CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, raw.bytes.c_str(), -1,
                               name.c_str(), -1) == CSTR_EQUAL)
                return true;
    }
    std::vector<DevNode> nodes;
    tree_->devicesOfClass(platform::kClassPorts, nodes);
    std::vector<DevNode> modems;
    tree_->devicesOfClass(platform::kClassModem, modems);
    nodes.insert(nodes.end(), modems.begin(), modems.end());
    for (const DevNode node : nodes) {
        std::string port;
        if (tree_->registryValue(node, platform::RegistryKey::Hardware, "PortName", port) == 0 &&
            CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, port.c_str(), -1, name.c_str(), -1) ==
                CSTR_EQUAL)
            return true;
    }
    return false;
}

BOOL FakeSetupApi::deviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize,
                                   LPVOID output, DWORD outputSize, LPDWORD returned,
                                   LPOVERLAPPED overlapped) {
    std::string name;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto* handle = static_cast<DeviceNameHandle*>(device);
        if (deviceNames_.count(handle) == 0)
            return DeviceIoControl(device, code, input, inputSize, output, outputSize, returned,
                                   overlapped);
        name = handle->name;
    }
    size_t filled = 0;
    const uint32_t error = tree_->controlDevice(name, code, output, outputSize, filled);
    if (returned != nullptr)
        *returned = static_cast<DWORD>(filled);
    return error == 0 ? TRUE : fail(error);
}

BOOL FakeSetupApi::closeHandle(HANDLE handle) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto* device = static_cast<DeviceNameHandle*>(handle);
        if (deviceNames_.erase(device) != 0) {
            delete device;
            return TRUE;
        }
    }
    return CloseHandle(handle);
}
