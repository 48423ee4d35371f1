#include "flasher/DeviceOperations.h"

#include "flasher/Library.h"

#include <cstring>

namespace flasher {

namespace {

int keep(int result) {
    library().lastHelperResult = static_cast<uint32_t>(result);
    return result;
}

// Opens, runs `command` on a fresh engine, closes on every path. On a command failure the
// engine's last error becomes the shared one, unless `onFailure` handles it.
template <class Command, class Failure>
int onDevicePort(const wchar_t* firstPath, const wchar_t* secondPath, Command command,
                 Failure onFailure) {
    PortGuard port;
    const int opened = openDevicePort(firstPath, secondPath, port.handle);
    if (opened != kOpenOk)
        return keep(opened);
    AtEngine engine;
    engine.takeLoggerOf(sharedLogger());
    const int result = command(engine, port.handle);
    if (result != kAtOk)
        onFailure(engine);
    return keep(result);
}

void copyEngineError(AtEngine& engine) {
    sharedLogger().setLastError("%s", engine.lastError());
}

} // namespace

int readDeviceMode(const wchar_t* firstPath, const wchar_t* secondPath, int32_t& mode) {
    return onDevicePort(
        firstPath, secondPath,
        [&](AtEngine& engine, PortHandle handle) { return engine.queryMode(handle, mode); },
        copyEngineError);
}

int setDeviceMode(const wchar_t* firstPath, const wchar_t* secondPath, int32_t mode) {
    return onDevicePort(
        firstPath, secondPath,
        [&](AtEngine& engine, PortHandle handle) { return engine.changeMode(handle, mode); },
        [](AtEngine& engine) {
            engine.log(kLevelDebug, "Mode Change failed: %s", engine.lastError());
            copyEngineError(engine);
        });
}

int readDeviceIdentity(const wchar_t* firstPath, const wchar_t* secondPath, char* text) {
    return onDevicePort(
        firstPath, secondPath,
        [&](AtEngine& engine, PortHandle handle) { return engine.readIdentity(handle, text); },
        copyEngineError);
}

int readDeviceSoftwareVersion(const wchar_t* firstPath, const wchar_t* secondPath, char* text) {
    return onDevicePort(
        firstPath, secondPath,
        [&](AtEngine& engine, PortHandle handle) {
            return engine.readSoftwareVersion(handle, text);
        },
        copyEngineError);
}

int readDeviceLmCode(const wchar_t* firstPath, const wchar_t* secondPath, char* text) {
    return onDevicePort(
        firstPath, secondPath,
        [&](AtEngine& engine, PortHandle handle) { return engine.readLmCode(handle, text); },
        copyEngineError);
}

int readDeviceCbcSettings(const wchar_t* firstPath, const wchar_t* secondPath, uint8_t* settings) {
    PortGuard port;
    const int opened = openDevicePort(firstPath, secondPath, port.handle);
    if (opened != kOpenOk) {
        sharedLogger().setLastError("Access to communication port not possible ,%s",
                                    sharedLogger().lastError());
        return keep(opened);
    }
    AtEngine engine;
    engine.takeLoggerOf(sharedLogger());
    const int result = engine.readCbcSettings(port.handle, settings);
    if (result != kAtOk)
        sharedLogger().setLastError("Get cbc settings not possible ,%s", engine.lastError());
    return keep(result);
}

FfResult loadCbcSettings(const wchar_t* applicationPath, const wchar_t* diagnosticPath) {
    Library& object = library();
    std::memset(object.cbcSettings, 0, sizeof object.cbcSettings);
    int result = setDeviceMode(applicationPath, diagnosticPath, kFfModeLoader);
    if (result != kAtOk) {
        object.log(kLevelError, "Go into mode (%d) failed, error : 0x%X, %s", kFfModeLoader,
                   static_cast<unsigned>(result), sharedLogger().lastError());
        object.setLastError("Cannot go to loader mode to get cbc settings. %s errno: %d",
                            sharedLogger().lastError(), result);
        return kFfLoaderModeForCbcFailed;
    }
    uint8_t settings[kCbcValueCount] = {};
    result = readDeviceCbcSettings(diagnosticPath, applicationPath, settings);
    if (result != kAtOk) {
        object.log(kLevelWarning, "Error getting cbc settings, error : 0x%X, %s",
                   static_cast<unsigned>(result), sharedLogger().lastError());
        object.setLastError("Cannot get cbc settings. %s errno: %d", sharedLogger().lastError(),
                            result);
        return kFfCommandFailed;
    }
    std::memcpy(object.cbcSettings, settings, sizeof object.cbcSettings);
    return kFfOk;
}

FfResult ensureModemMode(const wchar_t* applicationPath, const wchar_t* diagnosticPath,
                         FfProgressCallback callback, void* context) {
    if (callback != nullptr)
        callback(kFfProgressModeSwitch, 0, context);
    int32_t mode = kFfModeOther;
    if (readDeviceMode(applicationPath, diagnosticPath, mode) != kAtOk)
        return kFfPortOrModeFailed;
    if (mode != kFfModeModem && setDeviceMode(applicationPath, diagnosticPath, kFfModeModem) != 0) {
        library().setLastError("Error: Not able to change to mode %d\n", kFfModeModem);
        return kFfPortOrModeFailed;
    }
    return kFfOk;
}

} // namespace flasher
