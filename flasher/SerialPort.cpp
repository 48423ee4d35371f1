#include "flasher/SerialPort.h"

#include "platform/Clock.h"

#include <cwchar>

namespace flasher {

using namespace platform;

void SerialPort::logStream(int32_t level) {
    log(level, "%s", messages_.str().c_str());
    messages_.str(std::string());
}

PortHandle SerialPort::open(const wchar_t* path, uint32_t baudRate) {
    handle_ = nullptr;
    const std::wstring devicePath = path != nullptr ? path : L"";
    SerialHandle opened = serialOpen(devicePath);
    SerialTimeouts timeouts;
    SerialLineSettings settings;
    bool ready = opened != nullptr && serialGetTimeouts(opened, timeouts);
    if (ready) {
        timeouts.readIntervalMs = kSerialMaxTimeout;
        timeouts.readTotalPerByteMs = 0;
        timeouts.readTotalConstantMs = kReadTotalConstantMs;
        timeouts.writeTotalPerByteMs = kWriteTotalPerByteMs;
        timeouts.writeTotalConstantMs = kWriteTotalConstantMs;
        ready = serialSetTimeouts(opened, timeouts) && serialGetLineSettings(opened, settings);
    }
    if (ready) {
        settings.baudRate = baudRate;
        settings.dataBits = 8;
        settings.parity = SerialParity::none;
        settings.parityCheck = false;
        settings.stopBits = 1;
        settings.ctsOutputFlow = false;
        settings.dsrOutputFlow = false;
        settings.dtrControl = SerialLineControl::disabled;
        settings.rtsControl = SerialLineControl::disabled;
        settings.dsrSensitivity = false;
        settings.xonXoffOutput = false;
        settings.xonXoffInput = false;
        ready = serialSetLineSettings(opened, settings);
    }
    if (!ready) {
        const uint32_t error = serialLastError();
        if (opened != nullptr)
            serialClose(opened);
        setLastError("Open port %ls not possible: Error no. %u", devicePath.c_str(), error);
        log(kLevelDebug, "%s", lastError());
        return nullptr;
    }
    handle_ = opened;
    return handle_;
}

int SerialPort::setReadTimeout(uint32_t seconds) {
    SerialTimeouts timeouts;
    if (!serialGetTimeouts(handle_, timeouts)) {
        messages_ << "Get timeout-port not possible: Error no. " << serialLastError();
        logStream(kLevelDebug);
    }
    timeouts.readIntervalMs = kSerialMaxTimeout;
    timeouts.readTotalPerByteMs = 0;
    timeouts.readTotalConstantMs = seconds * 1000;
    timeouts.writeTotalPerByteMs = kWriteTotalPerByteMs;
    timeouts.writeTotalConstantMs = kWriteTotalConstantMs;
    if (!serialSetTimeouts(handle_, timeouts)) {
        messages_ << "Write timeout-port not possible: Error no. " << serialLastError();
        logStream(kLevelDebug);
        return 0;
    }
    return 1;
}

int SerialPort::read(void* buffer, uint32_t count, uint32_t& bytesRead) {
    if (!serialRead(handle_, buffer, count, bytesRead)) {
        const uint32_t error = serialLastError();
        messages_ << "Read Error: " << error;
        logStream(kLevelDebug);
        setLastError("Read port not possible: Error no. %d", static_cast<int>(error));
        return 0;
    }
    messages_ << "Read " << bytesRead << " Bytes ";
    logStream(kLevelDebug);
    return 1;
}

int SerialPort::write(const void* buffer, uint32_t count, uint32_t& bytesWritten) {
    bytesWritten = 0;
    if (handle_ == nullptr) {
        messages_ << "Write port not possible: Port not initialized ";
        logStream(kLevelDebug);
        setLastError("Write port not possible: Port not initialized");
        return 0;
    }
    if (!serialWrite(handle_, buffer, count, bytesWritten)) {
        const uint32_t error = serialLastError();
        messages_ << "Write port not possible: Error no. " << error;
        logStream(kLevelDebug);
        setLastError("Write port not possible: Error no. %d ", static_cast<int>(error));
        return 0;
    }
    messages_ << "Written " << bytesWritten << " Bytes.";
    logStream(kLevelDebug);
    return 1;
}

int SerialPort::purge(PortHandle handle) {
    return serialPurge(handle, kPurgeReceiveAbort | kPurgeReceiveClear) ? 1 : 0;
}

void SerialPort::close(PortHandle handle) {
    if (handle != nullptr) {
        serialFlush(handle);
        serialClose(handle);
        if (handle == handle_)
            handle_ = nullptr;
        messages_ << "Port closed! ";
        logStream(kLevelDebug);
    }
    sleepMs(kCloseSettleMs);
}

namespace {

bool usablePath(const wchar_t* path) {
    return path != nullptr && path[0] != L'\0' && serialDeviceExists(path);
}

SerialPort helperPort(PortHandle handle = nullptr) {
    SerialPort port(handle);
    port.takeLoggerOf(sharedLogger());
    return port;
}

} // namespace

int openDevicePort(const wchar_t* applicationPath, const wchar_t* diagnosticPath,
                   PortHandle& handle) {
    handle = nullptr;
    SerialPort port = helperPort();
    int failure = kOpenNoPath;
    const wchar_t* path = nullptr;
    if (usablePath(applicationPath)) {
        path = applicationPath;
        failure = kOpenApplicationFailed;
    } else if (usablePath(diagnosticPath)) {
        path = diagnosticPath;
        failure = kOpenDiagnosticFailed;
    } else {
        sharedLogger().setLastError("No usable port path");
        return kOpenNoPath;
    }
    handle = port.open(path, kBaudRate);
    if (handle == nullptr) {
        sharedLogger().setLastError("%s", port.lastError());
        return failure;
    }
    return kOpenOk;
}

int openPortByPath(const wchar_t* path, PortHandle& handle) {
    SerialPort port = helperPort();
    handle = port.open(path, kBaudRate);
    if (handle == nullptr) {
        sharedLogger().setLastError("%s", port.lastError());
        return kOpenNoPath;
    }
    return kOpenOk;
}

int SetReadTimeoutRaw(PortHandle handle, uint32_t seconds) {
    if (handle == nullptr) {
        sharedLogger().setLastError("SetReadTimeout Raw parameters error\n");
        return 0;
    }
    SerialPort port = helperPort(handle);
    if (port.setReadTimeout(seconds) == 0) {
        sharedLogger().setLastError("%s", port.lastError());
        return 0;
    }
    return 1;
}

int ReadRaw(PortHandle handle, void* buffer, uint32_t count, uint32_t* bytesRead) {
    if (handle == nullptr || buffer == nullptr || count == 0 || bytesRead == nullptr) {
        sharedLogger().setLastError("Read Raw parameters error\n");
        return 0;
    }
    SerialPort port = helperPort(handle);
    if (port.read(buffer, count, *bytesRead) == 0) {
        sharedLogger().setLastError("%s", port.lastError());
        return 0;
    }
    return 1;
}

int WriteRaw(PortHandle handle, const void* buffer, uint32_t count, uint32_t* bytesWritten) {
    if (buffer == nullptr || count == 0 || bytesWritten == nullptr) {
        sharedLogger().setLastError("Error with parameters, in WriteRaw");
        return 0;
    }
    SerialPort port = helperPort(handle);
    if (port.write(buffer, count, *bytesWritten) == 0) {
        sharedLogger().setLastError("%s", port.lastError());
        return 0;
    }
    return 1;
}

int PurgeRaw(PortHandle handle) {
    SerialPort port = helperPort(handle);
    return port.purge(handle);
}

void ClosePort(PortHandle handle) {
    SerialPort port = helperPort(handle);
    port.close(handle);
}

} // namespace flasher
