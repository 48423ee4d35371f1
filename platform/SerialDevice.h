#pragma once

#include "platform/Win32Error.h"

#include <cstdint>
#include <string>

// Serial ports opened by device path, with the settings, timeouts and results of the Windows
// communications functions: "\\.\NAME" opens /dev/NAME, any other path is used as it is. A port
// is opened exclusively; every failure leaves a Win32 error number in serialLastError().
namespace platform {

// A maximum value in a timeout field, like Win32 MAXDWORD.
constexpr uint32_t kSerialMaxTimeout = 0xFFFFFFFFu;

// Purge flags, as PurgeComm takes them.
constexpr uint32_t kPurgeTransmitAbort = 0x01;
constexpr uint32_t kPurgeReceiveAbort = 0x02;
constexpr uint32_t kPurgeTransmitClear = 0x04;
constexpr uint32_t kPurgeReceiveClear = 0x08;

// Timeouts in logical milliseconds, with COMMTIMEOUTS semantics. A read returns when the count
// has arrived, when the total (per byte × count + constant) has passed, or when more than the
// interval passes between two bytes. Interval = maximum with both totals 0 returns at once with
// what is waiting; all fields 0 waits for the whole count.
struct SerialTimeouts {
    uint32_t readIntervalMs = 0;
    uint32_t readTotalPerByteMs = 0;
    uint32_t readTotalConstantMs = 0;
    uint32_t writeTotalPerByteMs = 0;
    uint32_t writeTotalConstantMs = 0;
};

enum class SerialParity { none, odd, even };
enum class SerialLineControl { disabled, enabled, handshake };

// The line state, with the fields of a DCB that Kestrel sets.
struct SerialLineSettings {
    uint32_t baudRate = 115200;
    uint8_t dataBits = 8;
    SerialParity parity = SerialParity::none;
    bool parityCheck = false;
    uint8_t stopBits = 1;
    bool ctsOutputFlow = false;
    bool dsrOutputFlow = false;
    SerialLineControl dtrControl = SerialLineControl::disabled;
    SerialLineControl rtsControl = SerialLineControl::disabled;
    bool dsrSensitivity = false;
    bool xonXoffOutput = false;
    bool xonXoffInput = false;
};

struct SerialDevice;
// An open port; nullptr is "no handle".
using SerialHandle = SerialDevice*;

// The Win32 error number of the calling thread's last failed serial call.
uint32_t serialLastError();

// The system path that a device path names.
std::string serialSystemPath(const std::wstring& devicePath);

// True when the device path names something that exists (no open is attempted).
bool serialDeviceExists(const std::wstring& devicePath);

// Opens for reading and writing, exclusively, as an existing object. nullptr on failure.
SerialHandle serialOpen(const std::wstring& devicePath);

bool serialGetTimeouts(SerialHandle handle, SerialTimeouts& timeouts);
bool serialSetTimeouts(SerialHandle handle, const SerialTimeouts& timeouts);
bool serialGetLineSettings(SerialHandle handle, SerialLineSettings& settings);
bool serialSetLineSettings(SerialHandle handle, const SerialLineSettings& settings);

// One timed read. Returns true also when the timeout passed with fewer (or no) bytes; false
// when the device failed or vanished.
bool serialRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t& bytesRead);

// One timed write. Returns true also when the total timeout cut the write short.
bool serialWrite(SerialHandle handle, const void* buffer, uint32_t count, uint32_t& bytesWritten);

bool serialPurge(SerialHandle handle, uint32_t flags);

// Waits until everything written has left, but no longer than the write timeout for what is
// queued (a stalled device would otherwise hold the caller, and the close after it, for good);
// then discards what is left and fails with kErrorWaitTimeout.
bool serialFlush(SerialHandle handle);

// Releases the port and the handle.
bool serialClose(SerialHandle handle);

} // namespace platform
