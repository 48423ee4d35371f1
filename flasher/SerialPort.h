#pragma once

#include "flasher/FfLogger.h"
#include "platform/SerialDevice.h"

#include <cstdint>
#include <sstream>

namespace flasher {

using PortHandle = platform::SerialHandle;

constexpr uint32_t kBaudRate = 115200;
constexpr uint32_t kReadTotalConstantMs = 500;
constexpr uint32_t kWriteTotalPerByteMs = 1;
constexpr uint32_t kWriteTotalConstantMs = 500;
// After a close the driver needs this long before the port can be opened again.
constexpr uint64_t kCloseSettleMs = 500;

// A port for one operation. Either empty, opened by `open`, or bound to a handle that another
// SerialPort opened; destroying it never closes the handle, closing is explicit.
class SerialPort : public FfLogger {
public:
    SerialPort() = default;
    explicit SerialPort(PortHandle handle) : handle_(handle) {}

    // Opens with the library's line settings and timeouts; the handle or nullptr.
    PortHandle open(const wchar_t* path, uint32_t baudRate);
    PortHandle handle() const { return handle_; }

    int setReadTimeout(uint32_t seconds);
    // 1 also when the timeout passed with fewer or no bytes.
    int read(void* buffer, uint32_t count, uint32_t& bytesRead);
    int write(const void* buffer, uint32_t count, uint32_t& bytesWritten);
    // Discards pending input (receive abort and clear); transmit buffers stay.
    int purge(PortHandle handle);
    // Flushes, closes and pauses kCloseSettleMs.
    void close(PortHandle handle);

private:
    void logStream(int32_t level);

    PortHandle handle_ = nullptr;
    std::ostringstream messages_;
};

// Port-level helpers: each works on a temporary SerialPort with the shared logger's level and
// sink, and copies the port's last error to the shared logger on failure.
constexpr int kOpenOk = 0;
constexpr int kOpenApplicationFailed = 2;
constexpr int kOpenDiagnosticFailed = 3;
constexpr int kOpenNoPath = 4;

// The application path when it exists, else the diagnostic path: 0, 2, 3 or 4.
int openDevicePort(const wchar_t* applicationPath, const wchar_t* diagnosticPath,
                   PortHandle& handle);
// Opens without existence check: 0 or 4.
int openPortByPath(const wchar_t* path, PortHandle& handle);
int SetReadTimeoutRaw(PortHandle handle, uint32_t seconds);
int ReadRaw(PortHandle handle, void* buffer, uint32_t count, uint32_t* bytesRead);
int WriteRaw(PortHandle handle, const void* buffer, uint32_t count, uint32_t* bytesWritten);
int PurgeRaw(PortHandle handle);
// Closes an open handle; the settle pause is kept even without one.
void ClosePort(PortHandle handle);

// Closes the port of an operation on every path out of it.
class PortGuard {
public:
    PortGuard() = default;
    ~PortGuard() { ClosePort(handle); }
    PortGuard(const PortGuard&) = delete;
    PortGuard& operator=(const PortGuard&) = delete;

    PortHandle handle = nullptr;
};

} // namespace flasher
