#pragma once

#include <cstddef>
#include <cstdint>

// The Win32 error a facility reports for a failed POSIX call. Every facility gives ENOENT as
// "file not found" and EACCES, EPERM as "access denied"; what else its calls can fail with it
// names in its own table, which is looked at first.
namespace platform {

struct ErrnoMapping {
    int error;
    uint32_t win32;
};

uint32_t win32FromErrno(int error, const ErrnoMapping* own, size_t ownCount, uint32_t otherwise);

template <size_t N>
uint32_t win32FromErrno(int error, const ErrnoMapping (&own)[N], uint32_t otherwise) {
    return win32FromErrno(error, own, N, otherwise);
}

} // namespace platform
