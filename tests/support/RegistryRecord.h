#pragma once

#include <string>

namespace testsupport {

// The key of the QT0880's update records in the registry store's text.
inline constexpr const char* kQt0880RecordKey =
    "[HKEY_LOCAL_MACHINE\\Software\\Velmar\\FirmwareUpdate\\QT0880]";

// The value recorded under `key` for firmware version `name` ("dword:00000001"), or "" when
// there is none, in the text of the registry store.
inline std::string registryValue(const std::string& registry, const std::string& key,
                                 const std::string& name) {
    const size_t section = registry.find(key);
    if (section == std::string::npos)
        return "";
    const std::string prefix = "\"" + name + "\"=";
    const size_t value = registry.find(prefix, section);
    if (value == std::string::npos)
        return "";
    const size_t end = registry.find('\n', value);
    return registry.substr(value + prefix.size(), end - value - prefix.size());
}

} // namespace testsupport
