#include "platform/Environment.h"

#include <cstdlib>

namespace platform {

void setEnvironmentValue(const char* name, const std::string& value) {
    // The C runtime's copy is what getenv reads; it passes the change on to the system's.
    _putenv_s(name, value.c_str());
}

} // namespace platform
