#pragma once

#include <optional>
#include <string>

namespace platform {

// The value of an environment variable; nothing when it is unset.
std::optional<std::string> environmentValue(const char* name);

// Sets an environment variable of this process (and of the processes it starts).
void setEnvironmentValue(const char* name, const std::string& value);

} // namespace platform
