#include "detection/CardDatabase.h"

#include "detection/Nw.h"
#include "detection/WideText.h"
#include "detection/XLog.h"
#include "platform/OsVersion.h"
#include "platform/Resource.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace detection {
namespace {

constexpr const char* kCardDbResourceType = "NW_DATA";
constexpr int kCardDbResourceId = 101;
constexpr char16_t kCarriageReturn = u'\r';
constexpr char16_t kLineFeed = u'\n';
constexpr char16_t kCommentMark = u'#';
constexpr uint32_t kWwanCapFlag40Threshold = 0x8;
constexpr uint32_t kWwanCapFlag40Mask = 0x6;
constexpr uint32_t kDriverCapWwanCapDerived = 0x40;

// The executable's database text; nothing when it carries no such resource.
std::optional<std::string_view> shippedResource() {
    return platform::findResource(kCardDbResourceType, kCardDbResourceId);
}

enum Key {
    KeySection,
    KeySupported,
    KeyModel,
    KeyFamily,
    KeyStackType,
    KeyBusType,
    KeyHardwareId,
    KeyAtiKey,
    KeyWwanNicName,
    KeySmartCardReader,
    KeyPortType,
    KeyDriverCap,
    KeyWwanCap,
    KeyWlanCap,
    KeyModemName,
    KeyModemDetect,
    KeyAppPortName,
    KeyAppPortDetect,
    KeyApp2PortName,
    KeyApp2PortDetect,
    KeyDbgPortName,
    KeyDbgPortDetect,
    KeyWwanNdisPortName,
    KeyWwanNdisPortDetect,
    KeyCount
};

// The keys in table order; the first ten are the same on every system, the others begin with
// the placeholder "XX" for the OS code.
constexpr std::array<const char*, KeyCount> kGenericKeys = {
    "[",
    "Supported=",
    "Model=",
    "Family=",
    "StackType=",
    "BusType=",
    "HardwareId=",
    "AtiKey=",
    "WwanNicName=",
    "SmartCardReader=",
    "XXPortType=",
    "XXDriverCap=",
    "XXWwanCap=",
    "XXWlanCap=",
    "XXModemName=",
    "XXModemDetect=",
    "XXAppPortName=",
    "XXAppPortDetect=",
    "XXApp2PortName=",
    "XXApp2PortDetect=",
    "XXDbgPortName=",
    "XXDbgPortDetect=",
    "XXWwanNdisPortName=",
    "XXWwanNdisPortDetect=",
};
constexpr int kFirstOsKey = KeyPortType;

bool isMandatory(int key) {
    return (key >= KeySection && key <= KeyHardwareId) || (key >= KeyPortType && key <= KeyWlanCap);
}

struct KeyEntry {
    std::u16string osForm;
    std::u16string groupForm;
    size_t matchLength = 0;
    OptionalText value;
};

struct Database {
    std::mutex mutex;
    std::vector<CardInfoRecord> records;
    uint32_t osType = kOsTypeUnknown;
    const CardDbModule* rememberedModule = nullptr;
    std::array<KeyEntry, KeyCount> keys;
};

Database& database() {
    static Database* instance = new Database;
    return *instance;
}

std::u16string widenAscii(const char* text) {
    std::u16string out;
    for (; *text; ++text)
        out.push_back(static_cast<unsigned char>(*text));
    return out;
}

std::u16string lowerAscii(std::u16string text) {
    for (auto& c : text)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

bool startsWithCaseless(const std::u16string& line, const std::u16string& form, size_t length) {
    if (form.size() < length || line.size() < length)
        return false;
    return lowerAscii(line.substr(0, length)) == lowerAscii(form.substr(0, length));
}

// The scanf-style conversions: leading blanks, an optional sign and, for hexadecimal, an
// optional "0x"; false when no digit follows.
bool scanHex(const std::u16string& text, uint32_t& value) {
    const std::string narrow = utf8FromUtf16(text);
    const char* start = narrow.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(start, &end, 16);
    if (end == start)
        return false;
    value = errno == ERANGE || parsed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(parsed);
    return true;
}

bool scanDecimal(const std::u16string& text, int32_t& value) {
    const std::string narrow = utf8FromUtf16(text);
    const char* start = narrow.c_str();
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(start, &end, 10);
    if (end == start)
        return false;
    value = parsed > INT32_MAX   ? INT32_MAX
            : parsed < INT32_MIN ? INT32_MIN
                                 : static_cast<int32_t>(parsed);
    return true;
}

int32_t busTypeOf(const std::u16string& text) {
    const std::u16string lower = lowerAscii(text);
    if (lower == u"pcmcia")
        return kBusPcmcia;
    if (lower == u"usb")
        return kBusUsb;
    if (lower == u"pci")
        return kBusPci;
    return 0;
}

bool missingOrEmpty(const OptionalText& text) {
    return !text || text->empty();
}

// The per-OS code and the group code of an OS type.
bool osCodes(uint32_t osType, const char*& osCode, const char*& groupCode) {
    switch (osType) {
    case kOsTypeNt4:
        osCode = "Nt";
        groupCode = "Nt";
        return true;
    case kOsType98:
        osCode = "98";
        groupCode = "Ga";
        return true;
    case kOsTypeMe:
        osCode = "Me";
        groupCode = "Ga";
        return true;
    case kOsType2000:
        osCode = "2k";
        groupCode = "Ad";
        return true;
    case kOsTypeXp:
    case kOsTypeVista:
    case kOsType7:
        osCode = "Xp";
        groupCode = "Ad";
        return true;
    default:
        return false;
    }
}

void prepareKeys(Database& db, uint32_t osType) {
    const char* osCode = "";
    const char* groupCode = "";
    osCodes(osType, osCode, groupCode);
    for (int key = 0; key < KeyCount; ++key) {
        KeyEntry& entry = db.keys[key];
        const std::u16string generic = widenAscii(kGenericKeys[key]);
        entry.matchLength = generic.size();
        entry.value.reset();
        if (key < kFirstOsKey) {
            entry.osForm = generic;
            entry.groupForm.clear();
        } else {
            entry.osForm = widenAscii(osCode) + generic.substr(2);
            entry.groupForm = widenAscii(groupCode) + generic.substr(2);
        }
    }
}

void clearKeyValues(Database& db) {
    for (auto& entry : db.keys)
        entry.value.reset();
}

using Keys = std::array<KeyEntry, KeyCount>;

bool hasMandatoryKeys(const Keys& keys) {
    for (int key = 0; key < KeyCount; ++key)
        if (isMandatory(key) && !keys[key].value)
            return false;
    return true;
}

// The record's numbers from their keys; false when one does not parse.
bool scanNumbers(const Keys& keys, CardInfoRecord& record) {
    return scanHex(*keys[KeyModel].value, record.model) &&
           scanDecimal(*keys[KeyFamily].value, record.family) &&
           scanDecimal(*keys[KeyStackType].value, record.stackType) &&
           scanDecimal(*keys[KeyPortType].value, record.portType) &&
           scanHex(*keys[KeyDriverCap].value, record.driverCap) &&
           scanHex(*keys[KeyWwanCap].value, record.wwanCap) &&
           scanHex(*keys[KeyWlanCap].value, record.wlanCap);
}

void takeTexts(Keys& keys, CardInfoRecord& record) {
    record.hardwareIds = std::move(*keys[KeyHardwareId].value);
    record.atiKey = std::move(keys[KeyAtiKey].value);
    record.wwanNicName = std::move(keys[KeyWwanNicName].value);
    record.smartCardReaderName = std::move(keys[KeySmartCardReader].value);
    record.modemNames = std::move(keys[KeyModemName].value);
    record.modemDetect = std::move(keys[KeyModemDetect].value);
    record.appPortNames = std::move(keys[KeyAppPortName].value);
    record.appPortDetect = std::move(keys[KeyAppPortDetect].value);
    record.app2PortNames = std::move(keys[KeyApp2PortName].value);
    record.app2PortDetect = std::move(keys[KeyApp2PortDetect].value);
    record.dbgPortNames = std::move(keys[KeyDbgPortName].value);
    record.dbgPortDetect = std::move(keys[KeyDbgPortDetect].value);
    record.wwanNdisPortName = std::move(keys[KeyWwanNdisPortName].value);
    record.wwanNdisPortDetect = std::move(keys[KeyWwanNdisPortDetect].value);
}

// A driver capability that needs texts of the record: without them the flag is dropped.
struct CapabilityTexts {
    uint32_t flag;
    const char* missing; // what the warning names as empty or not found
    OptionalText CardInfoRecord::*first;
    OptionalText CardInfoRecord::*second; // or none
};

constexpr CapabilityTexts kCapabilityTexts[] = {
    {CardDriverCapabilitiesWwanNic, "WWAN NIC device name", &CardInfoRecord::wwanNicName, nullptr},
    {CardDriverCapabilitiesWwanNdisPort, "WWAN NDIS port name a/o detection mode",
     &CardInfoRecord::wwanNdisPortName, &CardInfoRecord::wwanNdisPortDetect},
    {CardDriverCapabilitiesSmartCardReader, "Smart card name", &CardInfoRecord::smartCardReaderName,
     nullptr},
};

void dropCapabilitiesWithoutTexts(CardInfoRecord& record) {
    const std::string name = utf8FromUtf16(record.name);
    for (const CapabilityTexts& capability : kCapabilityTexts) {
        const bool missing =
            missingOrEmpty(record.*capability.first) ||
            (capability.second != nullptr && missingOrEmpty(record.*capability.second));
        if ((record.driverCap & capability.flag) == 0 || !missing)
            continue;
        XLogAt(2,
               "Nw: ExtractCardInfo(): Inconsistent card database entry for card [%s], %s is "
               "empty or not found but driver flag indicates it on this OS, removing flag...",
               name.c_str(), capability.missing);
        record.driverCap &= ~capability.flag;
        (record.*capability.first).reset();
        if (capability.second != nullptr)
            (record.*capability.second).reset();
    }
}

void deriveWwanCapFlag(CardInfoRecord& record) {
    if (record.wwanCap >= kWwanCapFlag40Threshold && (record.wwanCap & kWwanCapFlag40Mask) != 0)
        record.driverCap |= kDriverCapWwanCapDerived;
    else
        record.driverCap &= ~kDriverCapWwanCapDerived;
}

bool needsSlowWakeup(const CardInfoRecord& record, uint32_t osType) {
    return osType >= kOsType2000 && (record.driverCap & CardDriverCapabilitiesMultiplexing) &&
           (record.family == 1 || record.family == 2 || record.model == 0x300 ||
            record.model == 0x400);
}

// The record of the section whose keys have been read; false, with the reason logged, when
// the section gives none.
bool buildRecord(Database& db, CardInfoRecord& record) {
    auto& keys = db.keys;
    if (!hasMandatoryKeys(keys))
        return false;
    const std::u16string& section = *keys[KeySection].value;
    const std::string sectionText = utf8FromUtf16(section);
    if (!scanNumbers(keys, record)) {
        XLogAt(3, "Nw: ExtractCardInfo(): invalid card information record, skipping card [%s",
               sectionText.c_str());
        return false;
    }
    if (db.records.size() >= static_cast<size_t>(kMaxCardRecords)) {
        XLogAt(3,
               "Nw: ExtractCardInfo(): the card database holds %d cards already, skipping card "
               "[%s",
               kMaxCardRecords, sectionText.c_str());
        return false;
    }
    const std::u16string& supported = *keys[KeySupported].value;
    record.supported = !supported.empty() && supported[0] == u'1';
    record.busType = busTypeOf(*keys[KeyBusType].value);
    try {
        record.name = section.size() > 1 ? section.substr(0, section.size() - 1) : section;
    } catch (const std::bad_alloc&) {
        XLogAt(3, "Nw: ExtractCardInfo(): out of memory, skipping card [%s", sectionText.c_str());
        return false;
    }
    takeTexts(keys, record);
    deriveWwanCapFlag(record);
    dropCapabilitiesWithoutTexts(record);
    record.slowWakeup = needsSlowWakeup(record, db.osType);
    return true;
}

void extractCardInfo(Database& db) {
    CardInfoRecord record;
    if (buildRecord(db, record))
        db.records.push_back(std::move(record));
    clearKeyValues(db);
}

int matchKey(const Database& db, const std::u16string& line) {
    for (int key = 0; key < KeyCount; ++key) {
        const KeyEntry& entry = db.keys[key];
        if (key != KeySection && entry.value)
            continue;
        if (startsWithCaseless(line, entry.osForm, entry.matchLength) ||
            startsWithCaseless(line, entry.groupForm, entry.matchLength))
            return key;
    }
    return -1;
}

uint32_t readLocked(Database& db, const char* data, size_t size) {
    db.osType = DetermineOsType();
    if (db.osType == kOsTypeUnknown) {
        XLogAt(3, "Nw: ReadCardDb(): Could not determine OS type (?)");
        return kErrorFail;
    }
    prepareKeys(db, db.osType);
    const char* cursor = data;
    size_t remaining = data ? size : 0;
    while (auto line = GetNextLine(cursor, remaining)) {
        const int key = matchKey(db, *line);
        if (key < 0)
            continue;
        if (key == KeySection)
            extractCardInfo(db);
        db.keys[key].value = line->substr(db.keys[key].matchLength);
    }
    extractCardInfo(db);
    XLogAt(0, "Nw: Successfully loaded information for %d cards",
           static_cast<int>(db.records.size()));
    return 0;
}

} // namespace

uint32_t DetermineOsType() {
    platform::OsVersion version;
    const uint32_t error = platform::queryOsVersion(version);
    if (error != 0) {
        XLog("GetVersionInfo, GetVersionEx: 0x%x. Very suspicious.", error);
        return kOsTypeUnknown;
    }
    const bool nt = version.platformId == platform::kPlatformNt;
    const bool windows9x = version.platformId == platform::kPlatformWindows9x;
    if (nt && version.major <= 4)
        return kOsTypeNt4;
    if (windows9x && version.major == 4 && version.minor == 10)
        return kOsType98;
    if (windows9x && (version.major > 4 || (version.major == 4 && version.minor >= 90)))
        return kOsTypeMe;
    if (nt && version.major == 5 && version.minor == 0)
        return kOsType2000;
    if (nt && version.major == 5 && (version.minor == 1 || version.minor == 2))
        return kOsTypeXp;
    if (nt && version.major == 6 && version.minor == 0)
        return kOsTypeVista;
    if (nt && (version.major > 6 || (version.major == 6 && version.minor >= 1)))
        return kOsType7;
    return kOsTypeUnknown;
}

std::optional<std::u16string> GetNextLine(const char*& cursor, size_t& remaining) {
    while (remaining > 0) {
        const char16_t c = static_cast<unsigned char>(*cursor);
        if (c == kCarriageReturn || c == kLineFeed) {
            ++cursor;
            --remaining;
            continue;
        }
        if (c == kCommentMark) {
            while (remaining > 0 && *cursor != '\r' && *cursor != '\n') {
                ++cursor;
                --remaining;
            }
            continue;
        }
        size_t length = 0;
        while (length < remaining && cursor[length] != '\r' && cursor[length] != '\n')
            ++length;
        try {
            std::u16string line;
            line.reserve(length);
            for (size_t i = 0; i < length; ++i)
                line.push_back(static_cast<unsigned char>(cursor[i]));
            cursor += length;
            remaining -= length;
            return line;
        } catch (const std::bad_alloc&) {
            XLogAt(3, "Nw: GetNextLine(): not enough memory");
            return std::nullopt;
        }
    }
    return std::nullopt;
}

uint32_t ReadCardDb(const char* data, size_t size) {
    Database& db = database();
    std::lock_guard<std::mutex> guard(db.mutex);
    return readLocked(db, data, size);
}

std::string_view shippedCardDatabase() {
    return shippedResource().value_or(std::string_view());
}

uint32_t InitializeCardDb(const CardDbModule* module) {
    Database& db = database();
    std::lock_guard<std::mutex> guard(db.mutex);
    db.records.clear();
    const bool custom = module != nullptr;
    if (module)
        db.rememberedModule = module;
    else
        module = db.rememberedModule;
    CardDbModule executable;
    if (!module) {
        const auto resource = shippedResource();
        if (!resource) {
            XLogAt(3, "Nw: InitializeCardDb(): FindResource failed with 0x%x",
                   kErrorResourceTypeNotFound);
            return kErrorResourceTypeNotFound;
        }
        executable.text = *resource;
        module = &executable;
    }
    if (module->text.empty()) {
        XLogAt(3, "Nw: InitializeCardDb(): SizeOfResource failed with 0x%x", kErrorFail);
        return kErrorFail;
    }
    db.osType = DetermineOsType();
    if (db.osType == kOsTypeUnknown) {
        XLogAt(3, "Nw: InitializeCardDb(): Could not determine OS type");
        return kErrorNotReady;
    }
    XLogAt(1, "Nw: Loading resources from resource 0x%x (%s)",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(module)), custom ? "custom" : "EXE");
    return readLocked(db, module->text.data(), module->text.size());
}

void ReleaseCardDb() {
    Database& db = database();
    {
        std::lock_guard<std::mutex> guard(db.mutex);
        db.records.clear();
        db.records.shrink_to_fit();
    }
    XLogAt(0, "Nw: Card information database released");
}

int GetGenericEntryIndex() {
    Database& db = database();
    std::lock_guard<std::mutex> guard(db.mutex);
    if (db.osType < kOsType7 || db.osType == kOsTypeUnknown)
        return -1;
    for (size_t i = 0; i < db.records.size(); ++i)
        if (db.records[i].model == kCardModelGenericMb && db.records[i].supported)
            return static_cast<int>(i);
    return -1;
}

int CardCount() {
    Database& db = database();
    std::lock_guard<std::mutex> guard(db.mutex);
    return static_cast<int>(db.records.size());
}

const CardInfoRecord& CardRecord(int index) {
    Database& db = database();
    std::lock_guard<std::mutex> guard(db.mutex);
    return db.records.at(static_cast<size_t>(index));
}

uint32_t CardDbOsType() {
    Database& db = database();
    std::lock_guard<std::mutex> guard(db.mutex);
    return db.osType;
}

} // namespace detection
