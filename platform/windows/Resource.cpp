#include "platform/Resource.h"

#include "platform/WideText.h"

#include <windows.h>

namespace platform {
namespace {

// The Win32 form of a type or name: the predefined type, an id ("#101", which the resource
// functions read as the id 101), or a name.
std::wstring resourceText(const std::string& text) {
    return wideFromUtf8(text);
}

LPCWSTR typeOf(const std::string& type, const std::wstring& text) {
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, type.c_str(), -1, kResourceTypeData,
                       -1) == CSTR_EQUAL)
        return MAKEINTRESOURCEW(10); // RT_RCDATA
    return text.c_str();
}

BOOL CALLBACK collectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
    auto* list = reinterpret_cast<std::vector<std::string>*>(names);
    if (IS_INTRESOURCE(name))
        list->push_back("#" + std::to_string(reinterpret_cast<ULONG_PTR>(name)));
    else
        list->push_back(utf8FromWide(name));
    return TRUE;
}

} // namespace

std::optional<std::string_view> findResource(const std::string& type, const std::string& name) {
    const std::wstring typeText = resourceText(type);
    const std::wstring nameText = resourceText(name);
    const HRSRC found = FindResourceW(nullptr, nameText.c_str(), typeOf(type, typeText));
    if (found == nullptr)
        return std::nullopt;
    const HGLOBAL loaded = LoadResource(nullptr, found);
    const DWORD size = SizeofResource(nullptr, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr)
        return std::nullopt;
    return std::string_view(static_cast<const char*>(bytes), size);
}

std::optional<std::string_view> findResource(const std::string& type, int id) {
    return findResource(type, "#" + std::to_string(id));
}

bool enumerateResourceNames(const std::string& type, std::vector<std::string>& names) {
    names.clear();
    const std::wstring typeText = resourceText(type);
    EnumResourceNamesW(nullptr, typeOf(type, typeText), collectName,
                       reinterpret_cast<LONG_PTR>(&names));
    return !names.empty();
}

std::string executablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::string();
        if (length < path.size()) {
            path.resize(length);
            return utf8FromWide(path);
        }
        path.resize(path.size() * 2);
    }
}

std::string executableDirectory() {
    const std::string path = executablePath();
    const size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos)
        return ".\\";
    return path.substr(0, separator + 1);
}

} // namespace platform
