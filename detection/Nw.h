#pragma once

// Public interface of the device detection library: the detected-card record, card states,
// capability flags and the callback types.

#include <cstddef>
#include <cstdint>

extern "C" {

// Length of every text field of NwCardInfo, terminator included.
#define NW_TEXT_LENGTH 260

// The detected card. Clients set `size` to one of the accepted sizes (1596, 2636, 3156, 3676,
// 4196, 4716, 5240 or 5248, each ending on a field boundary) and receive that many leading
// bytes, so the layout is fixed: 32-bit integers and zero-terminated UTF-16 texts.
struct NwCardInfo {
    uint32_t size;
    uint32_t state;
    uint32_t model;
    int32_t family;
    int32_t stackType;
    uint32_t wwanCap;
    uint32_t wlanCap;
    uint32_t driverCap;
    int32_t portType;
    char16_t portName[NW_TEXT_LENGTH];
    char16_t modemName[NW_TEXT_LENGTH];
    char16_t wwanNicName[NW_TEXT_LENGTH];
    char16_t wwanNdisPortName[NW_TEXT_LENGTH];
    char16_t smartCardReaderName[NW_TEXT_LENGTH];
    char16_t netCfgInstanceId[NW_TEXT_LENGTH];
    char16_t dbgPortName[NW_TEXT_LENGTH];
    char16_t app2PortName[NW_TEXT_LENGTH];
    char16_t busDeviceName[NW_TEXT_LENGTH];
    uint32_t devNode;
    char16_t deviceInstanceId[NW_TEXT_LENGTH];
    uint32_t driverVersionMs;
    uint32_t driverVersionLs;
};

// Card states (NwCardInfo.state).
enum NwCardState : uint32_t {
    CardStateStopped = 0,
    CardStateStopping = 1,
    CardStateStarting = 2,
    CardStateStarted = 3,
    CardStateSuspended = 4,
};

// NwCardInfo.driverCap flags.
enum CardDriverCapabilities : uint32_t {
    CardDriverCapabilitiesMultiplexing = 0x1,
    CardDriverCapabilitiesWwanNic = 0x2,
    CardDriverCapabilitiesWwanNdisPort = 0x4,
    CardDriverCapabilitiesSmartCardReader = 0x8,
    CardDriverCapabilitiesPersistentApn = 0x20,
    CardDriverCapabilitiesModem = 0x80,
    CardDriverCapabilities72Bus = 0x200,
    CardDriverCapabilitiesPrimaryAppPort = 0x400,
    CardDriverCapabilitiesSecondaryAppPort = 0x800,
    CardDriverCapabilitiesMbApi = 0x1000,
};

// The card's application port: 0 a serial port that takes the library's settings, anything
// else a port opened without them.
enum CardApplicationPortType : int32_t {
    CardApplicationPortTypeSerial = 0,
};

// Receives one log line and the context given with the callback.
typedef void (*NwLogCallback)(const wchar_t* text, void* context);

// Receives the reason of a card state change.
typedef void (*NwNotificationCallback)(uint32_t reason);

// Sets the log callback (null: standard error) and its context; returns the callback.
NwLogCallback NwSetLogCallback(NwLogCallback callback, void* context);

// Sets the log level 0 to 3 (higher values count as 3).
void NwSetLogLevel(uint16_t level);

} // extern "C"

static_assert(offsetof(NwCardInfo, portName) == 36, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, modemName) == 556, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, wwanNicName) == 1076, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, wwanNdisPortName) == 1596, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, smartCardReaderName) == 2116, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, netCfgInstanceId) == 2636, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, dbgPortName) == 3156, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, app2PortName) == 3676, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, busDeviceName) == 4196, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, devNode) == 4716, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, deviceInstanceId) == 4720, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, driverVersionMs) == 5240, "NwCardInfo layout");
static_assert(offsetof(NwCardInfo, driverVersionLs) == 5244, "NwCardInfo layout");
static_assert(sizeof(NwCardInfo) == 5248, "NwCardInfo layout");

// ---------------------------------------------------------------------------------------------
// Notifications, exclusive mode and the library interface.

extern "C" {

// Reasons passed with every notification.
enum NwNotificationReason : uint32_t {
    NwReasonInitialCheck = 0,     // the check at initialisation (nobody is registered yet)
    NwReasonRegistered = 1,       // sent to a channel that has just been registered
    NwReasonStandby = 2,          // the system is entering standby
    NwReasonResume = 3,           // the system resumed, and the wake-up checks that follow
    NwReasonDeviceChange = 4,     // device changes, polling, timeouts, suspension requests
    NwReasonExclusiveModeEnd = 5, // another process's exclusive mode has ended
};

// Result codes besides 0 and the errors of the system calls.
enum NwResult : uint32_t {
    NwErrorNotFound = 2,
    NwErrorInvalidHandle = 6,
    NwErrorNotReady = 21,     // not initialised, or no notification window
    NwErrorBadArguments = 50, // port settings for a card whose portType is not 0
    NwErrorNoCard = 55,       // no card detected and the library not suspended
    NwErrorInvalidParameter = 87,
    NwErrorBadLength = 122,     // NwCardInfo.size or DCBlength not accepted
    NwErrorTimeout = 258,       // WAIT_TIMEOUT
    NwErrorInvalidState = 5023, // another process holds the library suspended
};

// A window of the platform's message windows (platform/MessageWindow.h).
typedef uint64_t NwWindowHandle;
// An open application port.
typedef void* NwHandle;

// The serial settings record, laid out as a Win32 DCB (28 bytes).
struct NwDcb {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};

struct NwCommTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// `module`: where the card database text comes from (a detection::CardDbModule), or null for
// the shipped database.
uint32_t NwInitialize(const void* module);
uint32_t NwTerminate(void);
uint32_t NwRegisterNotificationCallback(NwNotificationCallback callback);
uint32_t NwUnregisterNotificationCallback(void);
uint32_t NwRegisterNotificationWindow(NwWindowHandle window, uint32_t messageId);
uint32_t NwUnregisterNotificationWindow(void);
uint32_t NwGetCardInfo(NwCardInfo* info);
uint32_t NwEnterExclusiveMode(uint32_t timeoutMs);
uint32_t NwLeaveExclusiveMode(void);
uint32_t NwConfirmSuspension(void);
uint32_t NwIsInUseByOtherProcess(void);
uint32_t NwIsFirstInsertionsFakeRemoval(void);
uint32_t NwGetDefaultPortSettings(const NwCardInfo* info, NwDcb* dcb, NwCommTimeouts* timeouts);
// The CreateFileW arguments are taken for their meaning on Windows; the port is always opened
// for reading and writing, exclusively, as an existing device.
uint32_t NwOpenApplicationPortEx(const NwCardInfo* info, uint32_t desiredAccess, uint32_t shareMode,
                                 void* securityAttributes, uint32_t creationDisposition,
                                 uint32_t flagsAndAttributes, NwHandle templateFile,
                                 NwHandle* handle);
uint32_t NwOpenApplicationPort(const NwCardInfo* info, NwHandle* handle);
uint32_t NwCloseApplicationPort(NwHandle handle);
uint32_t NwChangeDeviceState(const char16_t* deviceInstanceId, uint32_t stateChange);
uint32_t NwRequestDeviceEject(uint32_t devNode, uint32_t* vetoType, char16_t* vetoName,
                              uint32_t vetoNameLength);

} // extern "C"

static_assert(sizeof(NwDcb) == 28, "NwDcb layout");
