#pragma once

#include <optional>
#include <string>

namespace platform {

// The value of an environment variable; nothing when it is unset.
std::optional<std::string> environmentValue(const char* name);

} // namespace platform
