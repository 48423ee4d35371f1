#include "detection/CardDatabase.h"
#include "detection/CurrentCard.h"
#include "detection/Nw.h"
#include "detection/NwLibrary.h"
#include "detection/WideText.h"
#include "detection/XLog.h"
#include "platform/SerialDevice.h"

// The card's application port on the platform's serial layer.
namespace {

constexpr uint32_t kDcbLength = sizeof(NwDcb);
constexpr uint32_t kDefaultBaudRate = 115200;
constexpr uint8_t kDefaultByteSize = 8;
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOddParity = 1;
constexpr uint8_t kEvenParity = 2;
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kTwoStopBits = 2;
constexpr uint32_t kControlDisable = 0;
constexpr uint32_t kControlEnable = 1;
constexpr uint32_t kControlHandshake = 2;
constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
constexpr uint32_t kWriteTotalConstantMs = 500;

uint32_t controlOf(platform::SerialLineControl control) {
    switch (control) {
    case platform::SerialLineControl::enabled:
        return kControlEnable;
    case platform::SerialLineControl::handshake:
        return kControlHandshake;
    default:
        return kControlDisable;
    }
}

platform::SerialLineControl lineControlOf(uint32_t control) {
    switch (control) {
    case kControlEnable:
        return platform::SerialLineControl::enabled;
    case kControlDisable:
        return platform::SerialLineControl::disabled;
    default:
        return platform::SerialLineControl::handshake;
    }
}

void dcbFromSettings(const platform::SerialLineSettings& settings, NwDcb& dcb) {
    dcb = NwDcb{};
    dcb.DCBlength = kDcbLength;
    dcb.BaudRate = settings.baudRate;
    dcb.fBinary = 1;
    dcb.fParity = settings.parityCheck ? 1 : 0;
    dcb.fOutxCtsFlow = settings.ctsOutputFlow ? 1 : 0;
    dcb.fOutxDsrFlow = settings.dsrOutputFlow ? 1 : 0;
    dcb.fDtrControl = controlOf(settings.dtrControl) & 0x3;
    dcb.fDsrSensitivity = settings.dsrSensitivity ? 1 : 0;
    dcb.fOutX = settings.xonXoffOutput ? 1 : 0;
    dcb.fInX = settings.xonXoffInput ? 1 : 0;
    dcb.fRtsControl = controlOf(settings.rtsControl) & 0x3;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity == platform::SerialParity::odd    ? kOddParity
                 : settings.parity == platform::SerialParity::even ? kEvenParity
                                                                   : kNoParity;
    dcb.StopBits = settings.stopBits == 2 ? kTwoStopBits : kOneStopBit;
}

platform::SerialLineSettings settingsFromDcb(const NwDcb& dcb) {
    platform::SerialLineSettings settings;
    settings.baudRate = dcb.BaudRate;
    settings.dataBits = dcb.ByteSize;
    settings.parity = dcb.Parity == kOddParity    ? platform::SerialParity::odd
                      : dcb.Parity == kEvenParity ? platform::SerialParity::even
                                                  : platform::SerialParity::none;
    settings.parityCheck = dcb.fParity != 0;
    settings.stopBits = dcb.StopBits == kTwoStopBits ? 2 : 1;
    settings.ctsOutputFlow = dcb.fOutxCtsFlow != 0;
    settings.dsrOutputFlow = dcb.fOutxDsrFlow != 0;
    settings.dtrControl = lineControlOf(dcb.fDtrControl);
    settings.rtsControl = lineControlOf(dcb.fRtsControl);
    settings.dsrSensitivity = dcb.fDsrSensitivity != 0;
    settings.xonXoffOutput = dcb.fOutX != 0;
    settings.xonXoffInput = dcb.fInX != 0;
    return settings;
}

uint32_t lastSerialError() {
    const uint32_t error = platform::serialLastError();
    return error != 0 ? error : detection::kErrorFail;
}

} // namespace

uint32_t NwGetDefaultPortSettings(const NwCardInfo* info, NwDcb* dcb, NwCommTimeouts* timeouts) {
    if (!detection::library().initialised)
        return NwErrorNotReady;
    if (info == nullptr)
        return NwErrorInvalidParameter;
    if (dcb == nullptr || dcb->DCBlength != kDcbLength || timeouts == nullptr)
        return NwErrorBadLength;
    if (info->portType != CardApplicationPortTypeSerial)
        return NwErrorBadArguments;
    dcb->BaudRate = kDefaultBaudRate;
    dcb->fBinary = 1;
    dcb->fParity = 0;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = kControlEnable;
    dcb->fDsrSensitivity = 0;
    dcb->fTXContinueOnXoff = 1;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fErrorChar = 0;
    dcb->fNull = 0;
    dcb->fRtsControl = kControlEnable;
    dcb->fAbortOnError = 0;
    dcb->ByteSize = kDefaultByteSize;
    dcb->Parity = kNoParity;
    dcb->StopBits = kOneStopBit;
    timeouts->ReadIntervalTimeout = kMaxDword;
    timeouts->ReadTotalTimeoutMultiplier = 0;
    timeouts->ReadTotalTimeoutConstant = 0;
    timeouts->WriteTotalTimeoutMultiplier = 1;
    timeouts->WriteTotalTimeoutConstant = kWriteTotalConstantMs;
    return 0;
}

uint32_t NwOpenApplicationPortEx(const NwCardInfo* info, uint32_t, uint32_t, void*, uint32_t,
                                 uint32_t, NwHandle, NwHandle* handle) {
    using namespace detection;
    if (!library().initialised)
        return NwErrorNotReady;
    if (info == nullptr || handle == nullptr)
        return NwErrorInvalidParameter;
    *handle = nullptr;
    const std::wstring path = wideFromUtf8(utf8Of(info->portName));
    platform::SerialHandle port = platform::serialOpen(path);
    if (port == nullptr)
        return lastSerialError();
    if (info->portType != CardApplicationPortTypeSerial) {
        *handle = port;
        return 0;
    }
    platform::SerialLineSettings settings;
    if (!platform::serialGetLineSettings(port, settings)) {
        const uint32_t error = lastSerialError();
        XLogAt(3, "Nw: NwOpenApplicationPortEx(): GetCommState() failed, rc=0x%x", error);
        platform::serialClose(port);
        return error;
    }
    NwDcb dcb;
    dcbFromSettings(settings, dcb);
    NwCommTimeouts timeouts{};
    NwGetDefaultPortSettings(info, &dcb, &timeouts);
    if (!platform::serialSetLineSettings(port, settingsFromDcb(dcb))) {
        const uint32_t error = lastSerialError();
        XLogAt(3, "Nw: NwOpenApplicationPortEx(): SetCommState() failed, rc=0x%x", error);
        platform::serialClose(port);
        return error;
    }
    platform::SerialTimeouts serialTimeouts;
    serialTimeouts.readIntervalMs = timeouts.ReadIntervalTimeout;
    serialTimeouts.readTotalPerByteMs = timeouts.ReadTotalTimeoutMultiplier;
    serialTimeouts.readTotalConstantMs = timeouts.ReadTotalTimeoutConstant;
    serialTimeouts.writeTotalPerByteMs = timeouts.WriteTotalTimeoutMultiplier;
    serialTimeouts.writeTotalConstantMs = timeouts.WriteTotalTimeoutConstant;
    if (!platform::serialSetTimeouts(port, serialTimeouts)) {
        const uint32_t error = lastSerialError();
        XLogAt(3, "Nw: NwOpenApplicationPortEx(): SetCommTimeouts() failed, rc=0x%x", error);
        platform::serialClose(port);
        return error;
    }
    *handle = port;
    return 0;
}

uint32_t NwOpenApplicationPort(const NwCardInfo* info, NwHandle* handle) {
    constexpr uint32_t kGenericReadWrite = 0xC0000000u;
    constexpr uint32_t kOpenExisting = 3;
    constexpr uint32_t kFlagOverlapped = 0x40000000u;
    return NwOpenApplicationPortEx(info, kGenericReadWrite, 0, nullptr, kOpenExisting,
                                   kFlagOverlapped, nullptr, handle);
}

uint32_t NwCloseApplicationPort(NwHandle handle) {
    if (handle == nullptr)
        return NwErrorInvalidHandle;
    return platform::serialClose(static_cast<platform::SerialHandle>(handle)) ? 0
                                                                              : lastSerialError();
}
