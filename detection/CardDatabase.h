#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The card database: one record per card model, loaded from the database text when the
// library initialises and only read afterwards.
namespace detection {

constexpr int kMaxCardRecords = 256;

// The OS types the database's system-specific keys are chosen by.
constexpr uint32_t kOsTypeNt4 = 1;
constexpr uint32_t kOsType98 = 2;
constexpr uint32_t kOsTypeMe = 3;
constexpr uint32_t kOsType2000 = 4;
constexpr uint32_t kOsTypeXp = 5;
constexpr uint32_t kOsTypeVista = 6;
constexpr uint32_t kOsType7 = 7;
constexpr uint32_t kOsTypeUnknown = 99;

constexpr uint32_t kBusPcmcia = 1;
constexpr uint32_t kBusUsb = 2;
constexpr uint32_t kBusPci = 3;

constexpr uint32_t kCardModelGenericMb = 0xFF00;
// The two models whose first interface (MI_00) tells by its device class whether the card has
// a modem, a WWAN adapter or both; their children decide nothing else.
constexpr uint32_t kCardModelFirstInterface900 = 0x900;
constexpr uint32_t kCardModelFirstInterfaceA00 = 0xA00;
constexpr bool isFirstInterfaceModel(uint32_t model) {
    return model == kCardModelFirstInterface900 || model == kCardModelFirstInterfaceA00;
}

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorFail = 0x80004005;
// FindResource's error when the executable has no resource of the type.
constexpr uint32_t kErrorResourceTypeNotFound = 1813;

using OptionalText = std::optional<std::u16string>;

struct CardInfoRecord {
    uint32_t model = 0;
    int32_t family = 0;
    int32_t stackType = 0;
    uint32_t wwanCap = 0;
    uint32_t wlanCap = 0;
    uint32_t driverCap = 0;
    int32_t portType = 0;
    int32_t supported = 0;
    int32_t busType = 0;
    int32_t slowWakeup = 0;
    std::u16string name;
    std::u16string hardwareIds;
    OptionalText atiKey;
    OptionalText wwanNicName;
    OptionalText smartCardReaderName;
    OptionalText modemNames;
    OptionalText modemDetect;
    OptionalText appPortNames;
    OptionalText appPortDetect;
    OptionalText app2PortNames;
    OptionalText app2PortDetect;
    OptionalText dbgPortNames;
    OptionalText dbgPortDetect;
    OptionalText wwanNdisPortName;
    OptionalText wwanNdisPortDetect;
};

// Where the database text comes from when the caller names its own module: the text itself.
struct CardDbModule {
    std::string_view text;
};

// The database shipped with the program: the executable's resource "NW_DATA" 101, empty when
// the executable carries none.
std::string_view shippedCardDatabase();

// The OS type of the running system, 99 when it fits none.
uint32_t DetermineOsType();

// Loads the database from a module (or the remembered one, or the shipped text). 0, 6, 21 or
// the error of reading the module.
uint32_t InitializeCardDb(const CardDbModule* module);

// Parses a database held in memory. 0, or E_FAIL when the OS type cannot be determined.
uint32_t ReadCardDb(const char* data, size_t size);

// The next line that is neither empty nor a comment, each byte widened to one UTF-16 unit;
// nothing at the end of the data. Advances the cursor, which stays on the line's terminator.
std::optional<std::u16string> GetNextLine(const char*& cursor, size_t& remaining);

// Frees every record; the count becomes 0.
void ReleaseCardDb();

// The index of the supported generic mobile-broadband entry on OS type 7 and later, else -1.
int GetGenericEntryIndex();

int CardCount();
// The record at `index`, which must be below CardCount().
const CardInfoRecord& CardRecord(int index);
// The OS type found by the last load.
uint32_t CardDbOsType();

} // namespace detection
