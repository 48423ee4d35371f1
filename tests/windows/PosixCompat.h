#pragma once

// The few POSIX calls of the portable tests, for the Windows C runtime: environment changes and
// temporary folders. Tests only; the libraries reach the system through platform/.
#include <cstdlib>
#include <cstring>

#include <direct.h>
#include <io.h>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr)
        return 0;
    return _putenv_s(name, value);
}

// An empty value removes the variable from the C runtime's environment.
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}

inline char* mkdtemp(char* pattern) {
    if (_mktemp_s(pattern, std::strlen(pattern) + 1) != 0)
        return nullptr;
    return _mkdir(pattern) == 0 ? pattern : nullptr;
}
