#include "platform/NamedObject.h"

#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/SystemPaths.h"
#include "platform/WideText.h"
#include "platform/windows/RealMilliseconds.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

namespace platform {

// One open kernel handle and the namespace it was opened in (empty for a local event).
class SyncObject {
public:
    SyncObject(HANDLE handle, std::string space) : handle_(handle), space_(std::move(space)) {}
    ~SyncObject() { CloseHandle(handle_); }
    SyncObject(const SyncObject&) = delete;
    SyncObject& operator=(const SyncObject&) = delete;

    HANDLE handle() const { return handle_; }
    const std::string& space() const { return space_; }

private:
    HANDLE handle_;
    std::string space_;
};

namespace {

constexpr const char* kNamespaceVariable = "KESTREL_OBJECT_NAMESPACE";
// The kernel's name for the object's namespace prefix; a chosen namespace (tests, a simulated
// machine) becomes part of every name, so that its objects never meet the real ones.
constexpr const char* kChosenNamespacePrefix = "Kestrel.";

// NtQueryEvent's answer: the event's type and whether it is signalled.
struct EventBasicInformation {
    int eventType;
    LONG eventState;
};
constexpr int kEventBasicInformationClass = 0;
using NtQueryEventFunction = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);

struct NamespaceChoice {
    std::mutex mutex;
    std::string overrideFolder;
};

NamespaceChoice& choice() {
    static NamespaceChoice* instance = new NamespaceChoice;
    return *instance;
}

// Empty: the system's own namespace of the session.
std::string defaultNamespace() {
    if (auto folder = environmentValue(kNamespaceVariable); folder && !folder->empty())
        return *folder;
    if (auto root = simulatedMachineRoot())
        return *root + "/objects";
    return "";
}

// A chosen namespace is a folder path, too long and with characters a kernel name may not hold:
// its 64-bit FNV-1a hash stands for it.
std::string kernelName(const std::string& space, const std::string& name) {
    if (space.empty())
        return name;
    constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
    constexpr uint64_t kFnvPrime = 0x100000001b3ull;
    uint64_t hash = kFnvOffset;
    for (const unsigned char c : space)
        hash = (hash ^ c) * kFnvPrime;
    char text[sizeof hash * 2 + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return kChosenNamespacePrefix + std::string(text) + "." + name;
}

// Security attributes with a null DACL, not inheritable: a named object is shared with peer
// processes that may run without elevation, and they must open what an elevated one made.
class OpenToEveryone {
public:
    OpenToEveryone() {
        attributes_.nLength = sizeof attributes_;
        attributes_.bInheritHandle = FALSE;
        if (InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE))
            attributes_.lpSecurityDescriptor = &descriptor_;
    }
    OpenToEveryone(const OpenToEveryone&) = delete;
    OpenToEveryone& operator=(const OpenToEveryone&) = delete;

    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

SyncOpenResult checked(const std::string& name) {
    SyncOpenResult result;
    if (name.size() > kMaximumObjectName)
        result.error = SyncError::kNameTooLong;
    else if (name.empty())
        result.error = SyncError::kInvalidParameter;
    return result;
}

// Wraps what a create or open call answered, with GetLastError read at once.
SyncOpenResult opened(HANDLE handle, const std::string& space) {
    SyncOpenResult result;
    const DWORD error = GetLastError();
    if (handle == nullptr) {
        result.error = error;
        return result;
    }
    result.alreadyExisted = error == ERROR_ALREADY_EXISTS;
    result.handle = std::make_shared<SyncObject>(handle, space);
    return result;
}

template <class Call> SyncOpenResult createOrOpen(const std::string& name, Call call) {
    SyncOpenResult result = checked(name);
    if (result.error != 0)
        return result;
    const std::string space = namedObjectNamespace();
    const std::wstring wide = wideFromUtf8(kernelName(space, name));
    SetLastError(0);
    return opened(call(wide.c_str()), space);
}

} // namespace

SyncOpenResult createNamedMutex(const std::string& name, bool initialOwner) {
    return createOrOpen(name, [&](const wchar_t* kernel) {
        OpenToEveryone security;
        return CreateMutexW(security.attributes(), initialOwner ? TRUE : FALSE, kernel);
    });
}

SyncOpenResult openNamedMutex(const std::string& name) {
    return createOrOpen(name, [](const wchar_t* kernel) {
        return OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kernel);
    });
}

SyncOpenResult createNamedEvent(const std::string& name, bool manualReset, bool initialState) {
    return createOrOpen(name, [&](const wchar_t* kernel) {
        OpenToEveryone security;
        return CreateEventW(security.attributes(), manualReset ? TRUE : FALSE,
                            initialState ? TRUE : FALSE, kernel);
    });
}

SyncOpenResult openNamedEvent(const std::string& name) {
    return createOrOpen(
        name, [](const wchar_t* kernel) { return OpenEventW(EVENT_ALL_ACCESS, FALSE, kernel); });
}

SyncOpenResult createLocalEvent(bool manualReset, bool initialState) {
    SetLastError(0);
    return opened(
        CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr),
        "");
}

uint32_t setEvent(const SyncHandle& event) {
    if (!event)
        return SyncError::kInvalidHandle;
    return SetEvent(event->handle()) ? 0 : GetLastError();
}

uint32_t resetEvent(const SyncHandle& event) {
    if (!event)
        return SyncError::kInvalidHandle;
    return ResetEvent(event->handle()) ? 0 : GetLastError();
}

bool isEventSignalled(const SyncHandle& event) {
    if (!event)
        return false;
    // A wait would consume an auto-reset event's signal; the native query only looks.
    static const auto query = reinterpret_cast<NtQueryEventFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryEvent")));
    EventBasicInformation information{};
    if (query == nullptr || query(event->handle(), kEventBasicInformationClass, &information,
                                  sizeof information, nullptr) != 0)
        return false;
    return information.eventState != 0;
}

uint32_t releaseMutex(const SyncHandle& mutex) {
    if (!mutex)
        return SyncError::kInvalidHandle;
    return ReleaseMutex(mutex->handle()) ? 0 : SyncError::kNotOwner;
}

uint32_t waitForAnyObject(const std::vector<SyncHandle>& objects, uint32_t timeoutMs,
                          uint32_t* error) {
    auto fail = [&](uint32_t code) {
        if (error != nullptr)
            *error = code;
        return kWaitFailed;
    };
    if (objects.empty() || objects.size() > kMaximumWaitObjects)
        return fail(SyncError::kInvalidParameter);
    std::vector<HANDLE> handles;
    const std::string* space = nullptr;
    for (const SyncHandle& object : objects) {
        if (!object)
            return fail(SyncError::kInvalidHandle);
        if (!object->space().empty()) {
            if (space != nullptr && *space != object->space())
                return fail(SyncError::kInvalidParameter);
            space = &object->space();
        }
        handles.push_back(object->handle());
    }
    const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                                FALSE, realMs(timeoutMs));
    if (result == WAIT_FAILED)
        return fail(GetLastError());
    return result;
}

uint32_t waitForObject(const SyncHandle& object, uint32_t timeoutMs, uint32_t* error) {
    return waitForAnyObject({object}, timeoutMs, error);
}

void setNamedObjectNamespace(const std::string& folder) {
    std::lock_guard<std::mutex> guard(choice().mutex);
    choice().overrideFolder = folder;
}

std::string namedObjectNamespace() {
    std::lock_guard<std::mutex> guard(choice().mutex);
    return choice().overrideFolder.empty() ? defaultNamespace() : choice().overrideFolder;
}

} // namespace platform
