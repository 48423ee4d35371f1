/* Preloaded into a ModemManager under test alone: umockdev's emulated ttys refuse TIOCEXCL,
 * which the daemon asks for on every port it opens. Exclusive mode is reported as set (and as
 * cleared); every other request goes on to the next ioctl in line. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>

typedef int (*ioctl_function)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == TIOCEXCL || request == TIOCNXCL)
        return 0;
    ioctl_function next = (ioctl_function)dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, argument);
}
