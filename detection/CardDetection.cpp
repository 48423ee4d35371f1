#include "detection/CardDetection.h"

#include "detection/CardDatabase.h"
#include "detection/CurrentCard.h"
#include "detection/DetectionMethods.h"
#include "detection/DeviceEnumeration.h"
#include "detection/WideText.h"
#include "detection/XLog.h"
#include "platform/DeviceTree.h"

#include <string>
#include <vector>

namespace detection {
namespace {

constexpr int kSeparatorLength = 102;
constexpr int kFamilyReplugging = 7;
constexpr const char* kNtSymbolicPrefix = "\\??\\";
constexpr const char* kWin32SymbolicPrefix = "\\\\?\\";

const char* busName(uint32_t bus) {
    switch (bus) {
    case kBusPcmcia:
        return "PCMCIA";
    case kBusUsb:
        return "USB";
    case kBusPci:
        return "PCI";
    default:
        return "";
    }
}

bool isWindows9x(uint32_t osType) {
    return osType == kOsType98 || osType == kOsTypeMe;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += ",";
        out += items[i];
    }
    return out;
}

// The models whose primary application port is decided by their sub-devices, or that have
// none of their own.
bool getsPrimaryAppPortAtDetection(uint32_t model) {
    if (model >= 0x801 && model <= 0x5FFF && !isFirstInterfaceModel(model))
        return false;
    return model != 0x8400 && model != 0x8401;
}

// A device's hardware ids as matched against the records, their text for the log and the
// device's own first id.
struct DeviceIds {
    std::vector<std::string> ids;
    std::string list;
    // A backend may answer with an empty list; such a device has no first id and matches no
    // record.
    std::string first;
};

// On Windows 98 and Me a PCMCIA card's ids come from its enumerator's registry value. False
// when they cannot be read.
bool readHardwareIds(uint32_t bus, platform::DevNode device, DeviceIds& out) {
    const auto tree = platform::deviceTree();
    const uint32_t read = tree->hardwareIds(device, out.ids);
    if (read != 0) {
        XLogAt(2, "Nw: HaveCard(): Cannot get the device property, rc=0x%x", read);
        return false;
    }
    out.first = out.ids.empty() ? std::string() : out.ids.front();
    out.list = joined(out.ids);
    if (!isWindows9x(CardDbOsType()) || bus != kBusPcmcia)
        return true;
    std::string enumList;
    if (tree->registryValue(device, platform::RegistryKey::Hardware, "HardwareID", enumList) != 0)
        return false;
    out.list = enumList;
    out.ids = {};
    for (const auto& item : splitList(utf16FromUtf8(enumList)))
        out.ids.push_back(utf8FromUtf16(item));
    return true;
}

// The index of the first supported record of the bus that the active device matches, or -1.
int matchingRecord(uint32_t bus, platform::DevNode device, const std::vector<std::string>& ids,
                   bool prefix) {
    for (int index = 0; index < CardCount(); ++index) {
        const CardInfoRecord& record = CardRecord(index);
        if (record.supported && record.busType == static_cast<int32_t>(bus) &&
            HardwareIdsMatch(record.hardwareIds, ids, prefix) && IsDeviceNodeActive(device, true))
            return index;
    }
    return -1;
}

void readSymbolicName(FoundCard& card) {
    const uint32_t error = platform::deviceTree()->registryValue(
        card.devNode, platform::RegistryKey::Hardware, "SymbolicName", card.symbolicName);
    if (error == platform::DeviceTree::kInvalidHandle) {
        XLogAt(3, "Nw: HaveCard(): Invalid HKEY returned for the device registry path (0x%x)",
               error);
    } else if (error != 0) {
        XLogAt(3, "Nw: HaveCard(): Could not find \"SymbolicName\" regkey, rc=0x%x", error);
    } else {
        card.hasSymbolicName = true;
    }
    if (!card.hasSymbolicName)
        card.symbolicName.clear();
}

} // namespace

bool HaveCard(uint32_t bus, FoundCard& found) {
    const char* name = busName(bus);
    std::vector<platform::DevNode> devices;
    const uint32_t listed = platform::deviceTree()->devicesOfEnumerator(name, devices);
    if (listed != 0) {
        XLogAt(1, "Nw: No %s cards detected, rc=0x%x", name, listed);
        return false;
    }
    // PCI ids, and every id on Windows 98 and Me, match by prefix.
    const bool prefix = bus == kBusPci || isWindows9x(CardDbOsType());
    for (const platform::DevNode device : devices) {
        DeviceIds ids;
        if (!readHardwareIds(bus, device, ids))
            continue;
        XLogAt(1, "Nw: Found %s device with hardware ID [%s], checking it...", name,
               ids.list.c_str());
        const int index = matchingRecord(bus, device, ids.ids, prefix);
        if (index < 0)
            continue;
        FoundCard card;
        card.cardIndex = index;
        card.hardwareId = ids.first;
        card.devNode = device;
        readSymbolicName(card);
        found = card;
        return true;
    }
    return false;
}

bool FindCard(FoundCard& found) {
    bool any = false;
    for (const uint32_t bus : {kBusPcmcia, kBusUsb, kBusPci}) {
        FoundCard candidate;
        if (!HaveCard(bus, candidate))
            continue;
        if (!any || candidate.cardIndex < found.cardIndex) {
            found = candidate;
            any = true;
        }
    }
    return any;
}

namespace {

// A supported card with a hardware id that is not waited for to be replugged; false otherwise,
// and then no card is remembered as waited for either.
bool findDetectableCard(FoundCard& found) {
    CurrentCard& card = currentCard();
    bool detected = FindCard(found);
    if (detected && found.hardwareId.empty()) {
        XLogAt(2,
               "Nw: DetectAnyCard(): Inconsistent state, card %s is found but its hardware ID is "
               "unknown - skipping it",
               utf8FromUtf16(CardRecord(found.cardIndex).name).c_str());
        detected = false;
    }
    if (!detected) {
        card.replugDevNode = 0;
        return false;
    }
    if (card.replugDevNode == 0)
        return true;
    const CardInfoRecord& record = CardRecord(found.cardIndex);
    if (record.family == kFamilyReplugging) {
        XLogAt(2, "Nw: Supported card %s is detected but it is ignored since it will be replugged",
               utf8FromUtf16(record.name).c_str());
        return false;
    }
    card.replugDevNode = 0;
    return true;
}

void logDetectedCard(const FoundCard& found) {
    const std::string separator = "Nw: " + std::string(kSeparatorLength, '-');
    XLogAt(1, "%s", separator.c_str());
    XLogAt(1,
           "Nw: Supported card %s detected with hardware ID [%s] & devnode 0x%x & symbolic name "
           "[%s]",
           utf8FromUtf16(CardRecord(found.cardIndex).name).c_str(), found.hardwareId.c_str(),
           found.devNode, found.hasSymbolicName ? found.symbolicName.c_str() : "<NULL>");
    XLogAt(1, "%s", separator.c_str());
}

// The card's identity: record index, device node, ids and its symbolic name in Win32 form.
void rememberIdentity(const FoundCard& found) {
    CurrentCard& card = currentCard();
    card.cardIndex = found.cardIndex;
    card.info.devNode = found.devNode;
    copyText(card.hardwareId, utf16FromUtf8(found.hardwareId));
    std::string symbolicName = found.symbolicName;
    const std::string ntPrefix = kNtSymbolicPrefix;
    if (symbolicName.compare(0, ntPrefix.size(), ntPrefix) == 0)
        symbolicName = kWin32SymbolicPrefix + symbolicName.substr(ntPrefix.size());
    copyText(card.symbolicName, utf16FromUtf8(symbolicName));

    std::string instanceId;
    const uint32_t idError = platform::deviceTree()->instanceId(found.devNode, instanceId);
    if (idError != 0) {
        XLogAt(2, "Nw: Could not get the device instance ID (0x%x)", idError);
        instanceId.clear();
    }
    copyText(card.info.deviceInstanceId, utf16FromUtf8(instanceId));
}

void takeRecordValues(const CardInfoRecord& record) {
    CurrentCard& card = currentCard();
    card.info.model = record.model;
    card.info.family = record.family;
    card.info.stackType = record.stackType;
    card.info.wwanCap = record.wwanCap;
    card.info.wlanCap = record.wlanCap;
    card.info.driverCap = record.driverCap;
    card.info.portType = record.portType;
    card.slowWakeup = record.slowWakeup != 0;
}

// Nothing of a card found before is kept: its sub-devices are searched anew.
void forgetSubdevices() {
    CurrentCard& card = currentCard();
    copyText(card.info.portName, u"");
    copyText(card.info.modemName, u"");
    copyText(card.info.wwanNicName, u"");
    copyText(card.info.netCfgInstanceId, u"");
    card.modemNode = 0;
    card.appPortNode = 0;
    card.app2PortNode = 0;
    card.dbgPortNode = 0;
    card.wwanNicNode = 0;
    card.smartCardReaderNode = 0;
    card.finalPortOpened = false;
    card.subdevicesScanned = false;
}

} // namespace

int DetectAnyCard() {
    FoundCard found;
    if (!findDetectableCard(found))
        return 0;
    logDetectedCard(found);
    rememberIdentity(found);
    const CardInfoRecord& record = CardRecord(found.cardIndex);
    takeRecordValues(record);
    forgetSubdevices();

    CurrentCard& card = currentCard();
    card.subdevicesReady = AreSubdevicesReady(found.devNode, record.model);
    if (getsPrimaryAppPortAtDetection(record.model))
        card.info.driverCap |= CardDriverCapabilitiesPrimaryAppPort;
    DetermineDetectionMethods();
    return 1;
}

bool AreSubdevicesReady(uint32_t cardNode, uint32_t model) {
    if (isFirstInterfaceModel(model)) {
        std::string classGuid;
        return HasDescendantWithId(cardNode, "_FF_NET", false) ||
               QueryChildClassGuid(cardNode, "MI_00", classGuid) == 0;
    }
    if ((model >= 0x800 && model < 0x8000) || model == 0x8400 || model == 0x8401)
        return AreAllChildrenActive(cardNode);
    return true;
}

} // namespace detection
