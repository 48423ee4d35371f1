#include "platform/Environment.h"

#include <cstdlib>

namespace platform {

void setEnvironmentValue(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

} // namespace platform
