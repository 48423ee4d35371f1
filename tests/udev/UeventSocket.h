#pragma once

#include <cstddef>

namespace udevtest {

// What this process's udev monitors read from their event socket, seen from outside the code
// under test: every udev event received is counted, and the next one can be made to overrun
// the socket (the event is lost and the read fails with ENOBUFS, as a kernel's netlink socket
// does when its buffer is full).
namespace ueventsocket {

// The udev events received so far.
size_t received();
// Waits until more than `seen` events have been received; false after a generous bound.
bool waitBeyond(size_t seen);
// The next event received is dropped and its read fails with ENOBUFS.
void overrunNext();

} // namespace ueventsocket
} // namespace udevtest
