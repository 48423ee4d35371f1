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
