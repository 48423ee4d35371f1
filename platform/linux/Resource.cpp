#include "platform/Resource.h"
#include "platform/Text.h"

#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>

namespace {

// One row of the table the generated assembly lays out; a row of nulls ends it.
struct ResourceEntry {
    const char* type;
    const char* name;
    const unsigned char* data;
    uint64_t size;
};

} // namespace

// Weak, so that programs linked without embedded resources see an empty table.
extern "C" const ResourceEntry kestrel_resource_table[] __attribute__((weak));

namespace platform {
namespace {

const ResourceEntry* table() {
    return kestrel_resource_table;
}

} // namespace

std::optional<std::string_view> findResource(const std::string& type, const std::string& name) {
    const ResourceEntry* entry = table();
    if (entry == nullptr)
        return std::nullopt;
    for (; entry->type != nullptr; ++entry) {
        if (equalIgnoringCase(entry->type, type) && equalIgnoringCase(entry->name, name))
            return std::string_view(reinterpret_cast<const char*>(entry->data), entry->size);
    }
    return std::nullopt;
}

std::optional<std::string_view> findResource(const std::string& type, int id) {
    return findResource(type, "#" + std::to_string(id));
}

bool enumerateResourceNames(const std::string& type, std::vector<std::string>& names) {
    names.clear();
    const ResourceEntry* entry = table();
    if (entry == nullptr)
        return false;
    for (; entry->type != nullptr; ++entry) {
        if (equalIgnoringCase(entry->type, type))
            names.emplace_back(entry->name);
    }
    return !names.empty();
}

std::string executablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return std::string();
    return std::string(path, static_cast<size_t>(length));
}

std::string executableDirectory() {
    const std::string path = executablePath();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return "./";
    return path.substr(0, slash + 1);
}

} // namespace platform
