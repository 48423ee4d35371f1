#pragma once

#include "platform/Win32Error.h"

#include <cstdint>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A small registry: keys holding DWORD and string values, kept in one plain text file that a
// person can read and a test can check:
//
//   ; Kestrel registry store
//   [HKEY_LOCAL_MACHINE\Software\Velmar\FirmwareUpdate\QT0880]
//   "3.20.1"=dword:00000001
//   "Owner"="text with \"quotes\" and \\ backslashes"
//
// Key paths and value names compare without regard to case, as in the Win32 registry. Every
// change rewrites the file through a temporary file and a rename under a lock, so a crash never
// leaves a broken store and two processes never lose each other's changes. The file lies in
// /var/lib/kestrel, under DIR/sysroot on a simulated machine.
namespace platform {

struct RegistryError {
    static constexpr uint32_t kOk = 0;
    static constexpr uint32_t kNotFound = kErrorFileNotFound;     // no such key or value
    static constexpr uint32_t kAccessDenied = kErrorAccessDenied; // the store cannot be written
    static constexpr uint32_t kInvalidData = 13;                  // the store file is malformed
    static constexpr uint32_t kBadArgument = 87; // empty key path, or a text the format cannot hold
    static constexpr uint32_t kWrongType =
        1630; // ERROR_UNSUPPORTED_TYPE: the value has the other type
};

struct RegistryStoreValue {
    enum class Type { Dword, String };
    Type type = Type::Dword;
    uint32_t dword = 0;
    std::string text;
};

class RegistryStore {
public:
    // The store of this machine (or of the simulated one).
    RegistryStore();
    // A store in the given file (tests).
    explicit RegistryStore(std::string file);

    static std::string defaultFile();
    const std::string& file() const { return path; }

    // As RegCreateKeyEx: creates the key (and the keys above it) when missing.
    uint32_t createKey(const std::string& key);
    uint32_t setDword(const std::string& key, const std::string& name, uint32_t value);
    uint32_t setString(const std::string& key, const std::string& name, const std::string& value);
    uint32_t deleteValue(const std::string& key, const std::string& name);

    uint32_t queryValue(const std::string& key, const std::string& name,
                        RegistryStoreValue& value) const;
    uint32_t queryDword(const std::string& key, const std::string& name, uint32_t& value) const;
    uint32_t queryString(const std::string& key, const std::string& name, std::string& value) const;
    // The value names of a key in the order they were first written.
    uint32_t valueNames(const std::string& key, std::vector<std::string>& names) const;

private:
    std::string path;
};

// The parsed contents of a store file: keys in file order, each with its values in order.
struct RegistryStoreKey {
    std::string path;
    std::vector<std::pair<std::string, RegistryStoreValue>> values;
};
using RegistryStoreKeys = std::vector<RegistryStoreKey>;

// Parsing and printing of the text format. Parse answers false (and says why in `problem`) for
// a malformed text; it never reads past the text.
bool parseRegistryText(const std::string& text, RegistryStoreKeys& contents, std::string& problem);
std::string printRegistryText(const RegistryStoreKeys& contents);

// Replaces `path` with `content` atomically: written to a temporary file in the same folder,
// flushed, then renamed over the old file. Creates the folder. 0 or a Win32 error number.
uint32_t replaceFileAtomically(const std::string& path, const std::string& content);

// Appends `text` to a file (created when missing) in one write, so that lines of concurrent
// writers never interleave. 0 or a Win32 error number.
uint32_t appendToFile(const std::string& path, const std::string& text);

// Reads a whole file. 0, 2 when it does not exist, or another Win32 error number.
uint32_t readWholeFile(const std::string& path, std::string& content);

// An exclusive advisory lock on `path` + ".lock" for the lifetime of the object, shared by every
// process of the machine; serialises read-modify-write cycles on a file.
class FileLock {
public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // 0 when the lock is held, else a Win32 error number.
    uint32_t error() const { return status; }

private:
    // The lock file's descriptor or handle; -1 when it is not open.
    std::intptr_t descriptor = -1;
    uint32_t status = 0;
};

} // namespace platform
