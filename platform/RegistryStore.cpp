#include "platform/RegistryStore.h"

#include "platform/NativeBackend.h"
#include "platform/SystemPaths.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

namespace platform {
namespace {

constexpr const char* kStoreFolder = "/var/lib/kestrel";
constexpr const char* kStoreFileName = "registry.txt";
constexpr const char* kHeader = "; Kestrel registry store";
constexpr const char* kDwordPrefix = "dword:";

// "A\\B\\\\C\\" gives "A\\B\\C": empty components are dropped. Nothing for an empty path or for
// one with a line break, which the text format cannot hold.
std::optional<std::string> normalisedKey(const std::string& key) {
    if (key.find_first_of("\r\n") != std::string::npos)
        return std::nullopt;
    std::string result;
    std::string component;
    std::istringstream parts(key);
    while (std::getline(parts, component, '\\')) {
        if (component.empty())
            continue;
        if (!result.empty())
            result += '\\';
        result += component;
    }
    if (result.empty())
        return std::nullopt;
    return result;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the closing quote.
bool readQuoted(const std::string& line, size_t& pos, std::string& text) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    text.clear();
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        if (++pos >= line.size())
            return false;
        switch (line[pos]) {
        case '"':
            text += '"';
            break;
        case '\\':
            text += '\\';
            break;
        case 'n':
            text += '\n';
            break;
        case 'r':
            text += '\r';
            break;
        case 't':
            text += '\t';
            break;
        default:
            return false;
        }
    }
    return false;
}

bool parseDword(const std::string& digits, uint32_t& value) {
    if (digits.empty() || digits.size() > 8)
        return false;
    value = 0;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::tolower(c) - 'a' + 10);
    }
    return true;
}

RegistryStoreKey* findKey(RegistryStoreKeys& contents, const std::string& path) {
    for (auto& key : contents)
        if (equalIgnoringCase(key.path, path))
            return &key;
    return nullptr;
}

RegistryStoreValue* findValue(RegistryStoreKey& key, const std::string& name) {
    for (auto& entry : key.values)
        if (equalIgnoringCase(entry.first, name))
            return &entry.second;
    return nullptr;
}

// The key and every key above it, created in order when missing.
RegistryStoreKey& ensureKey(RegistryStoreKeys& contents, const std::string& path) {
    size_t end = 0;
    RegistryStoreKey* key = nullptr;
    do {
        end = path.find('\\', end + 1);
        const std::string prefix = path.substr(0, end);
        key = findKey(contents, prefix);
        if (key == nullptr) {
            contents.push_back({prefix, {}});
            key = &contents.back();
        }
    } while (end != std::string::npos);
    return *key;
}

uint32_t load(const std::string& file, RegistryStoreKeys& contents) {
    std::string text;
    const uint32_t error = readWholeFile(file, text);
    if (error == RegistryError::kNotFound) {
        contents.clear();
        return RegistryError::kOk;
    }
    if (error != RegistryError::kOk)
        return error;
    std::string problem;
    return parseRegistryText(text, contents, problem) ? RegistryError::kOk
                                                      : RegistryError::kInvalidData;
}

// Loads, changes and writes back under the store's lock. A store that cannot be read is left
// as it is: nothing in it is lost by a change.
template <class Change> uint32_t modify(const std::string& file, Change change) {
    FileLock lock(file);
    if (lock.error() != RegistryError::kOk)
        return lock.error();
    RegistryStoreKeys contents;
    uint32_t error = load(file, contents);
    if (error != RegistryError::kOk)
        return error;
    error = change(contents);
    if (error != RegistryError::kOk)
        return error;
    return replaceFileAtomically(file, printRegistryText(contents));
}

uint32_t setValue(const std::string& file, const std::string& key, const std::string& name,
                  const RegistryStoreValue& value) {
    const auto path = normalisedKey(key);
    if (!path || name.find_first_of("\r\n") != std::string::npos)
        return RegistryError::kBadArgument;
    return modify(file, [&](RegistryStoreKeys& contents) {
        RegistryStoreKey& target = ensureKey(contents, *path);
        if (RegistryStoreValue* existing = findValue(target, name))
            *existing = value;
        else
            target.values.emplace_back(name, value);
        return RegistryError::kOk;
    });
}

// A "[path]" line: the key it names becomes `key`, made when the text has not named it before.
// Returns what is wrong with the line, or nullptr.
const char* readKeyLine(const std::string& line, RegistryStoreKeys& contents,
                        RegistryStoreKey*& key) {
    if (line.back() != ']')
        return "a key line must end with ']'";
    const auto path = normalisedKey(line.substr(1, line.size() - 2));
    if (!path)
        return "empty key path";
    key = findKey(contents, *path);
    if (key == nullptr) {
        contents.push_back({*path, {}});
        key = &contents.back();
    }
    return nullptr;
}

// The value after "name"=, from `pos` on: dword:HEX or one quoted text.
const char* readValue(const std::string& line, size_t pos, RegistryStoreValue& value) {
    const size_t prefixLength = std::char_traits<char>::length(kDwordPrefix);
    if (line.compare(pos, prefixLength, kDwordPrefix) == 0) {
        value.type = RegistryStoreValue::Type::Dword;
        if (!parseDword(line.substr(pos + prefixLength), value.dword))
            return "a dword needs one to eight hexadecimal digits";
        return nullptr;
    }
    value.type = RegistryStoreValue::Type::String;
    if (!readQuoted(line, pos, value.text) || pos != line.size())
        return "a string value must be one quoted text";
    return nullptr;
}

// A "name"=value line of `key`; a name given again replaces the earlier value.
const char* readValueLine(const std::string& line, RegistryStoreKey& key) {
    size_t pos = 0;
    std::string name;
    if (!readQuoted(line, pos, name) || pos >= line.size() || line[pos] != '=')
        return "expected \"name\"=value";
    RegistryStoreValue value;
    if (const char* fault = readValue(line, pos + 1, value))
        return fault;
    if (RegistryStoreValue* existing = findValue(key, name))
        *existing = value;
    else
        key.values.emplace_back(name, value);
    return nullptr;
}

} // namespace

bool parseRegistryText(const std::string& text, RegistryStoreKeys& contents, std::string& problem) {
    contents.clear();
    std::istringstream lines(text);
    std::string line;
    RegistryStoreKey* key = nullptr;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == ';')
            continue;
        const char* fault = nullptr;
        if (line[0] == '[')
            fault = readKeyLine(line, contents, key);
        else if (key == nullptr)
            fault = "a value before the first key";
        else
            fault = readValueLine(line, *key);
        if (fault != nullptr) {
            problem = "line " + std::to_string(number) + ": " + fault;
            return false;
        }
    }
    return true;
}

std::string printRegistryText(const RegistryStoreKeys& contents) {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& key : contents) {
        text += "\n[" + key.path + "]\n";
        for (const auto& [name, value] : key.values) {
            text += quoted(name) + "=";
            if (value.type == RegistryStoreValue::Type::Dword) {
                char digits[16];
                std::snprintf(digits, sizeof digits, "%08x", value.dword);
                text += std::string(kDwordPrefix) + digits;
            } else {
                text += quoted(value.text);
            }
            text += "\n";
        }
    }
    return text;
}

namespace {

uint32_t setSystemValue(const std::string& key, const std::string& name,
                        const RegistryStoreValue& value) {
    const auto normalised = normalisedKey(key);
    if (!normalised)
        return RegistryError::kBadArgument;
    return systemRegistrySetValue(*normalised, name, value);
}

} // namespace

RegistryStore::RegistryStore() : path(defaultFile()) {}

RegistryStore::RegistryStore(std::string file) : path(std::move(file)) {}

// An empty file name stands for the system's own registry.
std::string RegistryStore::defaultFile() {
    if (systemRegistryIsTheStore())
        return "";
    return systemPath(kStoreFolder) + "/" + kStoreFileName;
}

uint32_t RegistryStore::createKey(const std::string& key) {
    const auto normalised = normalisedKey(key);
    if (!normalised)
        return RegistryError::kBadArgument;
    if (path.empty())
        return systemRegistryCreateKey(*normalised);
    return modify(path, [&](RegistryStoreKeys& contents) {
        ensureKey(contents, *normalised);
        return RegistryError::kOk;
    });
}

uint32_t RegistryStore::setDword(const std::string& key, const std::string& name, uint32_t value) {
    RegistryStoreValue entry;
    entry.type = RegistryStoreValue::Type::Dword;
    entry.dword = value;
    if (path.empty())
        return setSystemValue(key, name, entry);
    return setValue(path, key, name, entry);
}

uint32_t RegistryStore::setString(const std::string& key, const std::string& name,
                                  const std::string& value) {
    RegistryStoreValue entry;
    entry.type = RegistryStoreValue::Type::String;
    entry.text = value;
    if (path.empty())
        return setSystemValue(key, name, entry);
    return setValue(path, key, name, entry);
}

uint32_t RegistryStore::deleteValue(const std::string& key, const std::string& name) {
    const auto normalised = normalisedKey(key);
    if (!normalised)
        return RegistryError::kBadArgument;
    if (path.empty())
        return systemRegistryDeleteValue(*normalised, name);
    return modify(path, [&](RegistryStoreKeys& contents) {
        RegistryStoreKey* target = findKey(contents, *normalised);
        if (target == nullptr)
            return RegistryError::kNotFound;
        auto& values = target->values;
        const auto found = std::find_if(values.begin(), values.end(), [&](const auto& entry) {
            return equalIgnoringCase(entry.first, name);
        });
        if (found == values.end())
            return RegistryError::kNotFound;
        values.erase(found);
        return RegistryError::kOk;
    });
}

uint32_t RegistryStore::queryValue(const std::string& key, const std::string& name,
                                   RegistryStoreValue& value) const {
    const auto normalised = normalisedKey(key);
    if (!normalised)
        return RegistryError::kBadArgument;
    if (path.empty())
        return systemRegistryQueryValue(*normalised, name, value);
    RegistryStoreKeys contents;
    const uint32_t error = load(path, contents);
    if (error != RegistryError::kOk)
        return error;
    RegistryStoreKey* target = findKey(contents, *normalised);
    if (target == nullptr)
        return RegistryError::kNotFound;
    const RegistryStoreValue* found = findValue(*target, name);
    if (found == nullptr)
        return RegistryError::kNotFound;
    value = *found;
    return RegistryError::kOk;
}

uint32_t RegistryStore::queryDword(const std::string& key, const std::string& name,
                                   uint32_t& value) const {
    RegistryStoreValue entry;
    const uint32_t error = queryValue(key, name, entry);
    if (error != RegistryError::kOk)
        return error;
    if (entry.type != RegistryStoreValue::Type::Dword)
        return RegistryError::kWrongType;
    value = entry.dword;
    return RegistryError::kOk;
}

uint32_t RegistryStore::queryString(const std::string& key, const std::string& name,
                                    std::string& value) const {
    RegistryStoreValue entry;
    const uint32_t error = queryValue(key, name, entry);
    if (error != RegistryError::kOk)
        return error;
    if (entry.type != RegistryStoreValue::Type::String)
        return RegistryError::kWrongType;
    value = entry.text;
    return RegistryError::kOk;
}

uint32_t RegistryStore::valueNames(const std::string& key, std::vector<std::string>& names) const {
    names.clear();
    const auto normalised = normalisedKey(key);
    if (!normalised)
        return RegistryError::kBadArgument;
    if (path.empty())
        return systemRegistryValueNames(*normalised, names);
    RegistryStoreKeys contents;
    const uint32_t error = load(path, contents);
    if (error != RegistryError::kOk)
        return error;
    const RegistryStoreKey* target = findKey(contents, *normalised);
    if (target == nullptr)
        return RegistryError::kNotFound;
    for (const auto& entry : target->values)
        names.push_back(entry.first);
    return RegistryError::kOk;
}

} // namespace platform
