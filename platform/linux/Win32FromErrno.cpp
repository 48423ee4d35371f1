#include "platform/linux/Win32FromErrno.h"

#include "platform/Win32Error.h"

#include <cerrno>

namespace platform {

uint32_t win32FromErrno(int error, const ErrnoMapping* own, size_t ownCount, uint32_t otherwise) {
    for (size_t i = 0; i < ownCount; ++i) {
        if (own[i].error == error)
            return own[i].win32;
    }
    switch (error) {
    case ENOENT:
        return kErrorFileNotFound;
    case EACCES:
    case EPERM:
        return kErrorAccessDenied;
    default:
        return otherwise;
    }
}

} // namespace platform
