#include "platform/SerialDevice.h"
#include "platform/SerialObserver.h"

#include "platform/WideText.h"
#include "platform/windows/RealMilliseconds.h"

#include <windows.h>

namespace platform {

// An open COM port and the timeouts as the caller gave them, in logical milliseconds.
struct SerialDevice {
    HANDLE handle = INVALID_HANDLE_VALUE;
    SerialTimeouts timeouts;
};

namespace {

// The driver's queue sizes asked for at open.
constexpr DWORD kQueueSize = 4096;
constexpr const wchar_t* kDevicePrefix = L"\\\\.\\";

thread_local uint32_t lastError = 0;

bool fail(uint32_t error) {
    lastError = error;
    return false;
}

bool failLast() {
    return fail(GetLastError());
}

bool validHandle(SerialHandle handle) {
    if (handle == nullptr || handle->handle == INVALID_HANDLE_VALUE)
        return fail(kErrorInvalidHandle);
    return true;
}

DWORD realTimeout(uint32_t ms) {
    return ms == kSerialMaxTimeout ? MAXDWORD : realMs(ms);
}

BYTE parityOf(SerialParity parity) {
    switch (parity) {
    case SerialParity::odd:
        return ODDPARITY;
    case SerialParity::even:
        return EVENPARITY;
    case SerialParity::none:
        break;
    }
    return NOPARITY;
}

SerialParity parityFrom(BYTE parity) {
    if (parity == ODDPARITY)
        return SerialParity::odd;
    if (parity == EVENPARITY)
        return SerialParity::even;
    return SerialParity::none;
}

DWORD dtrControlOf(SerialLineControl control) {
    switch (control) {
    case SerialLineControl::enabled:
        return DTR_CONTROL_ENABLE;
    case SerialLineControl::handshake:
        return DTR_CONTROL_HANDSHAKE;
    case SerialLineControl::disabled:
        break;
    }
    return DTR_CONTROL_DISABLE;
}

DWORD rtsControlOf(SerialLineControl control) {
    switch (control) {
    case SerialLineControl::enabled:
        return RTS_CONTROL_ENABLE;
    case SerialLineControl::handshake:
        return RTS_CONTROL_HANDSHAKE;
    case SerialLineControl::disabled:
        break;
    }
    return RTS_CONTROL_DISABLE;
}

SerialLineControl lineControlFrom(DWORD control, DWORD enable, DWORD handshake) {
    if (control == enable)
        return SerialLineControl::enabled;
    if (control == handshake)
        return SerialLineControl::handshake;
    return SerialLineControl::disabled;
}

} // namespace

uint32_t serialLastError() {
    return lastError;
}

std::string serialSystemPath(const std::wstring& devicePath) {
    return utf8FromWide(devicePath);
}

bool serialDeviceExists(const std::wstring& devicePath) {
    const std::wstring prefix = kDevicePrefix;
    if (devicePath.compare(0, prefix.size(), prefix) == 0) {
        wchar_t target[MAX_PATH];
        if (QueryDosDeviceW(devicePath.substr(prefix.size()).c_str(), target, MAX_PATH) != 0)
            return true;
        // Not every system lists its ports among the DOS device names (wine lists only drives):
        // a device that exists can be opened for no access, or is refused when someone holds it.
        const HANDLE probe = CreateFileW(devicePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe != INVALID_HANDLE_VALUE) {
            CloseHandle(probe);
            return true;
        }
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    return GetFileAttributesW(devicePath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

SerialHandle serialOpen(const std::wstring& devicePath) {
    if (devicePath.empty()) {
        fail(kErrorPathNotFound);
        return nullptr;
    }
    const HANDLE handle = CreateFileW(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failLast();
        return nullptr;
    }
    // Queue sizes are a recommendation the driver may ignore; a refusal is not a failure.
    SetupComm(handle, kQueueSize, kQueueSize);
    // A line error left pending by the port's last user would end the first read.
    DWORD lineErrors = 0;
    ClearCommError(handle, &lineErrors, nullptr);
    auto* device = new SerialDevice;
    device->handle = handle;
    COMMTIMEOUTS current{};
    if (GetCommTimeouts(handle, &current)) {
        device->timeouts.readIntervalMs = current.ReadIntervalTimeout;
        device->timeouts.readTotalPerByteMs = current.ReadTotalTimeoutMultiplier;
        device->timeouts.readTotalConstantMs = current.ReadTotalTimeoutConstant;
        device->timeouts.writeTotalPerByteMs = current.WriteTotalTimeoutMultiplier;
        device->timeouts.writeTotalConstantMs = current.WriteTotalTimeoutConstant;
    }
    if (SerialObserver* observer = serialObserver())
        observer->opened(device, devicePath);
    return device;
}

bool serialGetTimeouts(SerialHandle handle, SerialTimeouts& timeouts) {
    if (!validHandle(handle))
        return false;
    timeouts = handle->timeouts;
    return true;
}

bool serialSetTimeouts(SerialHandle handle, const SerialTimeouts& timeouts) {
    if (!validHandle(handle))
        return false;
    COMMTIMEOUTS real{};
    real.ReadIntervalTimeout = realTimeout(timeouts.readIntervalMs);
    real.ReadTotalTimeoutMultiplier = realTimeout(timeouts.readTotalPerByteMs);
    real.ReadTotalTimeoutConstant = realTimeout(timeouts.readTotalConstantMs);
    real.WriteTotalTimeoutMultiplier = realTimeout(timeouts.writeTotalPerByteMs);
    real.WriteTotalTimeoutConstant = realTimeout(timeouts.writeTotalConstantMs);
    if (!SetCommTimeouts(handle->handle, &real))
        return failLast();
    handle->timeouts = timeouts;
    return true;
}

bool serialGetLineSettings(SerialHandle handle, SerialLineSettings& settings) {
    if (!validHandle(handle))
        return false;
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(handle->handle, &state))
        return failLast();
    settings.baudRate = state.BaudRate;
    settings.dataBits = state.ByteSize;
    settings.parity = parityFrom(state.Parity);
    settings.parityCheck = state.fParity != 0;
    settings.stopBits = state.StopBits == TWOSTOPBITS ? 2 : 1;
    settings.ctsOutputFlow = state.fOutxCtsFlow != 0;
    settings.dsrOutputFlow = state.fOutxDsrFlow != 0;
    settings.dtrControl =
        lineControlFrom(state.fDtrControl, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE);
    settings.rtsControl =
        lineControlFrom(state.fRtsControl, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE);
    settings.dsrSensitivity = state.fDsrSensitivity != 0;
    settings.xonXoffOutput = state.fOutX != 0;
    settings.xonXoffInput = state.fInX != 0;
    return true;
}

bool serialSetLineSettings(SerialHandle handle, const SerialLineSettings& settings) {
    if (!validHandle(handle))
        return false;
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(handle->handle, &state))
        return failLast();
    state.BaudRate = settings.baudRate;
    state.ByteSize = settings.dataBits;
    state.Parity = parityOf(settings.parity);
    state.fParity = settings.parityCheck ? TRUE : FALSE;
    state.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    state.fOutxCtsFlow = settings.ctsOutputFlow ? TRUE : FALSE;
    state.fOutxDsrFlow = settings.dsrOutputFlow ? TRUE : FALSE;
    state.fDtrControl = dtrControlOf(settings.dtrControl);
    state.fRtsControl = rtsControlOf(settings.rtsControl);
    state.fDsrSensitivity = settings.dsrSensitivity ? TRUE : FALSE;
    state.fOutX = settings.xonXoffOutput ? TRUE : FALSE;
    state.fInX = settings.xonXoffInput ? TRUE : FALSE;
    // What the settings do not name is not left to whoever used the port before: a port left
    // with fAbortOnError fails every read after the first line error, fNull drops zero bytes of
    // the image and fErrorChar replaces bytes.
    state.fBinary = TRUE;
    state.fTXContinueOnXoff = TRUE;
    state.fErrorChar = FALSE;
    state.fNull = FALSE;
    state.fAbortOnError = FALSE;
    if (!SetCommState(handle->handle, &state))
        return failLast();
    // The modem lines follow the new state at once; a port without them (a virtual one) may
    // refuse, which changes nothing for the data.
    EscapeCommFunction(handle->handle,
                       settings.dtrControl == SerialLineControl::disabled ? CLRDTR : SETDTR);
    EscapeCommFunction(handle->handle,
                       settings.rtsControl == SerialLineControl::disabled ? CLRRTS : SETRTS);
    return true;
}

bool serialRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t& bytesRead) {
    bytesRead = 0;
    const SerialTransferReport report(SerialTransferReport::Direction::read, handle, buffer,
                                      bytesRead);
    if (!validHandle(handle))
        return false;
    DWORD got = 0;
    if (!ReadFile(handle->handle, buffer, count, &got, nullptr))
        return failLast();
    bytesRead = got;
    return true;
}

bool serialWrite(SerialHandle handle, const void* buffer, uint32_t count, uint32_t& bytesWritten) {
    bytesWritten = 0;
    const SerialTransferReport report(SerialTransferReport::Direction::write, handle, buffer,
                                      bytesWritten);
    if (!validHandle(handle))
        return false;
    DWORD put = 0;
    if (!WriteFile(handle->handle, buffer, count, &put, nullptr))
        return failLast();
    bytesWritten = put;
    return true;
}

bool serialPurge(SerialHandle handle, uint32_t flags) {
    if (!validHandle(handle))
        return false;
    if (SerialObserver* observer = serialObserver())
        observer->purged(handle, flags);
    if (!PurgeComm(handle->handle, flags))
        return failLast();
    return true;
}

bool serialFlush(SerialHandle handle) {
    if (!validHandle(handle))
        return false;
    if (!FlushFileBuffers(handle->handle))
        return failLast();
    return true;
}

bool serialClose(SerialHandle handle) {
    if (!validHandle(handle))
        return false;
    if (SerialObserver* observer = serialObserver())
        observer->closed(handle);
    const bool closed = CloseHandle(handle->handle) != 0;
    if (!closed)
        failLast();
    delete handle;
    return closed;
}

} // namespace platform
