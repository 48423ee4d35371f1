#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Resources linked into the executable, found like Win32 resources: by type and by name or
// numeric id, both compared without regard to case. A numeric id is the name "#" + the number,
// as Win32 writes MAKEINTRESOURCE ids in text form. The bytes live in the executable's
// read-only data for the whole process; nothing is copied.
//
// The table comes from the generated assembly of kestrel_embed_resources
// (cmake/ResourceEmbed.cmake); a program built without one has no resources.
namespace platform {

// The predefined types of the Win32 resource compiler that Kestrel uses.
constexpr const char* kResourceTypeData = "RCDATA";

// The resource's bytes, or nothing when the executable has no such resource.
std::optional<std::string_view> findResource(const std::string& type, const std::string& name);
std::optional<std::string_view> findResource(const std::string& type, int id);

// The names of every resource of `type`, in the order they were linked ("#101" for ids).
// False (and `names` empty) when the executable has no resource of that type, as
// EnumResourceNames fails with ERROR_RESOURCE_TYPE_NOT_FOUND.
bool enumerateResourceNames(const std::string& type, std::vector<std::string>& names);

// The running executable's full path and its directory with a trailing "/".
std::string executablePath();
std::string executableDirectory();

} // namespace platform
