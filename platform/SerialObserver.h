#pragma once

#include "platform/SerialDevice.h"

#include <cstdint>
#include <string>

// A watcher of the traffic of every serial port of the process, such as a session recorder. The
// serial backends report each call after it has done its work, on the calling thread; a watcher
// only takes note (it must not block or call into the serial layer), so what is sent to a device
// and when stays as it is.
namespace platform {

class SerialObserver {
public:
    virtual ~SerialObserver() = default;
    virtual void opened(SerialHandle handle, const std::wstring& devicePath) = 0;
    virtual void closed(SerialHandle handle) = 0;
    virtual void purged(SerialHandle handle, uint32_t flags) = 0;
    virtual void wrote(SerialHandle handle, const uint8_t* bytes, uint32_t count) = 0;
    virtual void received(SerialHandle handle, const uint8_t* bytes, uint32_t count) = 0;
};

// Installs the watcher (null: none). It is not owned and must outlive every serial call made
// while it is installed.
void setSerialObserver(SerialObserver* observer);
SerialObserver* serialObserver();

// Reports a read or a write when it leaves the backend's function, whatever way it returns:
// the bytes that did go through (none on a failure that moved nothing).
class SerialTransferReport {
public:
    enum class Direction { write, read };
    SerialTransferReport(Direction direction, SerialHandle handle, const void* buffer,
                         const uint32_t& transferred)
        : direction(direction), handle(handle), buffer(static_cast<const uint8_t*>(buffer)),
          transferred(transferred) {}
    ~SerialTransferReport();
    SerialTransferReport(const SerialTransferReport&) = delete;
    SerialTransferReport& operator=(const SerialTransferReport&) = delete;

private:
    Direction direction;
    SerialHandle handle;
    const uint8_t* buffer;
    const uint32_t& transferred;
};

} // namespace platform
