#include "platform/NativeBackend.h"

#include "platform/WideText.h"

#include <windows.h>

namespace platform {
namespace {

struct RootKey {
    const char* name;
    HKEY key;
};

const RootKey kRootKeys[] = {
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKEY_USERS", HKEY_USERS},
};

// Splits "HKEY_LOCAL_MACHINE\Software\..." into its root and the path below it.
bool splitKey(const std::string& key, HKEY& root, std::wstring& subkey) {
    const size_t separator = key.find('\\');
    const std::string rootName = key.substr(0, separator);
    for (const RootKey& candidate : kRootKeys) {
        if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, rootName.c_str(), -1, candidate.name,
                           -1) == CSTR_EQUAL) {
            root = candidate.key;
            subkey = separator == std::string::npos ? std::wstring()
                                                    : wideFromUtf8(key.substr(separator + 1));
            return true;
        }
    }
    return false;
}

// Opens (or with `create`, creates) a key; the Win32 result. Always in the 32-bit program's
// view: installers and tools written for the 32-bit updater look for its record under
// Software\WOW6432Node on 64-bit Windows. Keys both views share (SYSTEM) are the same in it.
LSTATUS openKey(const std::string& key, bool create, REGSAM access, HKEY& opened) {
    HKEY root = nullptr;
    std::wstring subkey;
    if (!splitKey(key, root, subkey))
        return RegistryError::kBadArgument;
    access |= KEY_WOW64_32KEY;
    if (create)
        return RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                               nullptr, &opened, nullptr);
    return RegOpenKeyExW(root, subkey.c_str(), 0, access, &opened);
}

} // namespace

bool systemRegistryIsTheStore() {
    return true;
}

uint32_t systemRegistryCreateKey(const std::string& key) {
    HKEY opened = nullptr;
    const LSTATUS result = openKey(key, true, KEY_WRITE, opened);
    if (result == ERROR_SUCCESS)
        RegCloseKey(opened);
    return static_cast<uint32_t>(result);
}

uint32_t systemRegistrySetValue(const std::string& key, const std::string& name,
                                const RegistryStoreValue& value) {
    HKEY opened = nullptr;
    LSTATUS result = openKey(key, true, KEY_SET_VALUE, opened);
    if (result != ERROR_SUCCESS)
        return static_cast<uint32_t>(result);
    const std::wstring valueName = wideFromUtf8(name);
    if (value.type == RegistryStoreValue::Type::Dword) {
        const DWORD dword = value.dword;
        result = RegSetValueExW(opened, valueName.c_str(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&dword), sizeof dword);
    } else {
        const std::wstring text = wideFromUtf8(value.text);
        result = RegSetValueExW(opened, valueName.c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(opened);
    return static_cast<uint32_t>(result);
}

uint32_t systemRegistryDeleteValue(const std::string& key, const std::string& name) {
    HKEY opened = nullptr;
    LSTATUS result = openKey(key, false, KEY_SET_VALUE, opened);
    if (result != ERROR_SUCCESS)
        return static_cast<uint32_t>(result);
    result = RegDeleteValueW(opened, wideFromUtf8(name).c_str());
    RegCloseKey(opened);
    return static_cast<uint32_t>(result);
}

uint32_t systemRegistryQueryValue(const std::string& key, const std::string& name,
                                  RegistryStoreValue& value) {
    HKEY opened = nullptr;
    LSTATUS result = openKey(key, false, KEY_QUERY_VALUE, opened);
    if (result != ERROR_SUCCESS)
        return static_cast<uint32_t>(result);
    const std::wstring valueName = wideFromUtf8(name);
    DWORD type = 0;
    DWORD size = 0;
    result = RegQueryValueExW(opened, valueName.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size + sizeof(wchar_t), 0);
    if (result == ERROR_SUCCESS)
        result = RegQueryValueExW(opened, valueName.c_str(), nullptr, &type, data.data(), &size);
    RegCloseKey(opened);
    if (result != ERROR_SUCCESS)
        return static_cast<uint32_t>(result);
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        value.type = RegistryStoreValue::Type::Dword;
        value.dword = *reinterpret_cast<const DWORD*>(data.data());
        return RegistryError::kOk;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        value.type = RegistryStoreValue::Type::String;
        const auto* text = reinterpret_cast<const wchar_t*>(data.data());
        value.text = utf8FromWide(std::wstring(text));
        return RegistryError::kOk;
    }
    return RegistryError::kWrongType;
}

uint32_t systemRegistryValueNames(const std::string& key, std::vector<std::string>& names) {
    names.clear();
    HKEY opened = nullptr;
    const LSTATUS result = openKey(key, false, KEY_QUERY_VALUE, opened);
    if (result != ERROR_SUCCESS)
        return static_cast<uint32_t>(result);
    constexpr DWORD kLongestValueName = 16384;
    std::vector<wchar_t> name(kLongestValueName);
    for (DWORD index = 0;; ++index) {
        DWORD length = kLongestValueName;
        if (RegEnumValueW(opened, index, name.data(), &length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(utf8FromWide(std::wstring(name.data(), length)));
    }
    RegCloseKey(opened);
    return RegistryError::kOk;
}

} // namespace platform
