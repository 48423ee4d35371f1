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

} // namespace

bool HaveCard(uint32_t bus, FoundCard& found) {
    const char* name = busName(bus);
    const auto tree = platform::deviceTree();
    std::vector<platform::DevNode> devices;
    const uint32_t listed = tree->devicesOfEnumerator(name, devices);
    if (listed != 0) {
        XLogAt(1, "Nw: No %s cards detected, rc=0x%x", name, listed);
        return false;
    }
    const uint32_t osType = CardDbOsType();
    // PCI ids, and every id on Windows 98 and Me, match by prefix.
    const bool prefix = bus == kBusPci || isWindows9x(osType);
    for (const platform::DevNode device : devices) {
        std::vector<std::string> ids;
        const uint32_t read = tree->hardwareIds(device, ids);
        if (read != 0) {
            XLogAt(2, "Nw: HaveCard(): Cannot get the device property, rc=0x%x", read);
            continue;
        }
        // A backend may answer with an empty list; such a device has no first id and matches
        // no record.
        const std::string hardwareId = ids.empty() ? std::string() : ids.front();
        std::string list = joined(ids);
        if (isWindows9x(osType) && bus == kBusPcmcia) {
            std::string enumList;
            if (tree->registryValue(device, platform::RegistryKey::Hardware, "HardwareID",
                                    enumList) != 0)
                continue;
            list = enumList;
            ids = {};
            for (const auto& item : splitList(utf16FromUtf8(enumList)))
                ids.push_back(utf8FromUtf16(item));
        }
        XLogAt(1, "Nw: Found %s device with hardware ID [%s], checking it...", name, list.c_str());

        for (int index = 0; index < CardCount(); ++index) {
            const CardInfoRecord& record = CardRecord(index);
            if (!record.supported || record.busType != static_cast<int32_t>(bus) ||
                !HardwareIdsMatch(record.hardwareIds, ids, prefix) ||
                !IsDeviceNodeActive(device, true))
                continue;
            FoundCard card;
            card.cardIndex = index;
            card.hardwareId = hardwareId;
            card.devNode = device;
            const uint32_t error = tree->registryValue(device, platform::RegistryKey::Hardware,
                                                       "SymbolicName", card.symbolicName);
            if (error == platform::DeviceTree::kInvalidHandle) {
                XLogAt(3,
                       "Nw: HaveCard(): Invalid HKEY returned for the device registry path (0x%x)",
                       error);
            } else if (error != 0) {
                XLogAt(3, "Nw: HaveCard(): Could not find \"SymbolicName\" regkey, rc=0x%x", error);
            } else {
                card.hasSymbolicName = true;
            }
            if (!card.hasSymbolicName)
                card.symbolicName.clear();
            found = card;
            return true;
        }
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

int DetectAnyCard() {
    CurrentCard& card = currentCard();
    FoundCard found;
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
        return 0;
    }
    const CardInfoRecord& record = CardRecord(found.cardIndex);
    const std::string cardName = utf8FromUtf16(record.name);
    if (card.replugDevNode != 0) {
        if (record.family == kFamilyReplugging) {
            XLogAt(2,
                   "Nw: Supported card %s is detected but it is ignored since it will be replugged",
                   cardName.c_str());
            return 0;
        }
        card.replugDevNode = 0;
    }

    const std::string separator = "Nw: " + std::string(kSeparatorLength, '-');
    XLogAt(1, "%s", separator.c_str());
    XLogAt(1,
           "Nw: Supported card %s detected with hardware ID [%s] & devnode 0x%x & symbolic name "
           "[%s]",
           cardName.c_str(), found.hardwareId.c_str(), found.devNode,
           found.hasSymbolicName ? found.symbolicName.c_str() : "<NULL>");
    XLogAt(1, "%s", separator.c_str());

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

    card.info.model = record.model;
    card.info.family = record.family;
    card.info.stackType = record.stackType;
    card.info.wwanCap = record.wwanCap;
    card.info.wlanCap = record.wlanCap;
    card.info.driverCap = record.driverCap;
    card.info.portType = record.portType;
    card.slowWakeup = record.slowWakeup != 0;
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
