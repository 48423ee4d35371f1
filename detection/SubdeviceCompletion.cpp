#include "detection/SubdeviceCompletion.h"

#include "detection/CardDatabase.h"
#include "detection/CardState.h"
#include "detection/CurrentCard.h"
#include "detection/DeviceEnumeration.h"
#include "detection/WideText.h"
#include "detection/XLog.h"
#include "platform/DeviceTree.h"
#include "platform/Text.h"

#include <mutex>

namespace detection {
namespace {

constexpr int kDeviceNameProbes = 21; // indexes 0 to 20 for the application port names
constexpr int kDriverDeviceProbes = 20;
constexpr size_t kPatternLength = 259;
constexpr size_t kNdisNameLength = 63;
constexpr size_t kAdapterIdBytes = 96;
constexpr size_t kAdapterIdCompared = 48;
constexpr uint32_t kMbApiDriverVersion = 0x00050001;
constexpr uint32_t kDriverCapStack2 = 0x10;
constexpr uint32_t kMethodPolling = 1;
constexpr uint32_t kMethodEventBased = 2;
constexpr uint32_t kMethodDeviceNamePolling = 3;
constexpr uint32_t kMethodDeviceNameEventBased = 4;

std::mutex lookupMutex;
MobileBroadbandLookup& mobileBroadbandLookup() {
    static MobileBroadbandLookup* lookup = new MobileBroadbandLookup;
    return *lookup;
}

const CardInfoRecord& record() {
    return CardRecord(currentCard().cardIndex);
}

bool has(uint32_t flag) {
    return (currentCard().info.driverCap & flag) != 0;
}
void setFlag(uint32_t flag) {
    currentCard().info.driverCap |= flag;
}
void clearFlag(uint32_t flag) {
    currentCard().info.driverCap &= ~flag;
}

template <size_t N> bool isEmpty(const char16_t (&field)[N]) {
    return field[0] == u'\0';
}

bool isNtPlatform() {
    const uint32_t osType = CardDbOsType();
    return osType != kOsType98 && osType != kOsTypeMe;
}

bool modemMissing() {
    return has(CardDriverCapabilitiesModem) && isEmpty(currentCard().info.modemName);
}

bool finalPortMissing() {
    return has(CardDriverCapabilitiesPrimaryAppPort) && !currentCard().finalPortOpened;
}

bool smartCardReaderMissing() {
    return has(CardDriverCapabilitiesSmartCardReader) &&
           isEmpty(currentCard().info.smartCardReaderName);
}

bool isDefaultMethod(uint32_t method) {
    return method == kMethodPolling || method == kMethodEventBased;
}

void OpenFinalPort() {
    CurrentCard& card = currentCard();
    const std::string port = utf8Of(card.info.portName);
    const uint32_t error = platform::deviceTree()->probeDevice(port, platform::OpenMode::Exclusive);
    if (error == 0) {
        XLogAt(0, "Nw: Final port could be opened successfully");
        card.finalPortOpened = true;
    } else if (error == platform::DeviceTree::kAccessDenied) {
        XLogAt(2, "Nw: Final port is kept open by another application, supposing card is o.k.");
        card.finalPortOpened = true;
    } else {
        XLogAt(1, "Nw: Final port could not be opened (err=0x%x)!", error);
    }
}

void DetectModem() {
    CurrentCard& card = currentCard();
    const bool multiplexing = has(CardDriverCapabilitiesMultiplexing);
    FoundDevice modem;
    if (!HaveModem(record().modemNames, card.info.devNode, !multiplexing, modem))
        return;
    if (modem.name.empty() || (!multiplexing && modem.portName.empty())) {
        XLogAt(2, "Nw: DetectModem: Inconsistent state, a valid modem found but its modem name or "
                  "port name is empty - skipping it");
        return;
    }
    XLogAt(1, "Nw: Corresponding modem %s found with devnode 0x%x", modem.name.c_str(), modem.node);
    card.modemNode = modem.node;
    copyText(card.info.modemName, utf16FromUtf8(modem.name));
    copyText(card.info.portName, multiplexing ? u"" : utf16FromUtf8(modem.portName));
}

// A port found by friendly name: shared by the application, secondary and debug ports.
bool detectDefaultPort(const OptionalText& names, const char* function, const char* kind,
                       const char* foundText, FoundDevice& port) {
    if (!HavePort(names, currentCard().info.devNode, port))
        return false;
    if (port.portName.empty()) {
        XLogAt(2,
               "Nw: %s: Inconsistent state, a valid %s found but its port name is empty - "
               "skipping it",
               function, kind);
        return false;
    }
    XLogAt(1, foundText, port.portName.c_str(), port.node);
    return true;
}

void DetectDefaultAppPort() {
    FoundDevice port;
    if (!detectDefaultPort(record().appPortNames, "DetectDefaultAppPort", "application port",
                           "Nw: Corresponding application port found on %s with devnode 0x%x",
                           port))
        return;
    currentCard().appPortNode = port.node;
    copyText(currentCard().info.portName, utf16FromUtf8(port.portName));
}

void DetectDefaultApp2Port() {
    FoundDevice port;
    if (!detectDefaultPort(record().app2PortNames, "DetectDefaultApp2Port", "app2 port",
                           "Nw: Corresponding app2 port found on %s with devnode 0x%x", port))
        return;
    currentCard().app2PortNode = port.node;
    copyText(currentCard().info.app2PortName, utf16FromUtf8(port.portName));
}

void DetectDefaultDbgPort() {
    FoundDevice port;
    if (!detectDefaultPort(record().dbgPortNames, "DetectDefaultDbgPort", "debug port",
                           "Nw: Corresponding debug port found on %s with devnode 0x%x", port))
        return;
    currentCard().dbgPortNode = port.node;
    copyText(currentCard().info.dbgPortName, utf16FromUtf8(port.portName));
}

// The application port by device name: the first pattern and index that opens.
void detectAppPortByDeviceName() {
    const OptionalText& patterns = record().appPortNames;
    if (!patterns)
        return;
    const auto tree = platform::deviceTree();
    for (const auto& item : splitList(*patterns)) {
        const std::string pattern = utf8FromUtf16(item.substr(0, kPatternLength));
        for (int index = 0; index < kDeviceNameProbes; ++index) {
            const std::string name = formatDeviceName(pattern, index);
            if (tree->probeDevice(name, platform::OpenMode::Exclusive) == 0) {
                copyText(currentCard().info.portName, utf16FromUtf8(name));
                currentCard().appPortNode = 0;
                return;
            }
        }
    }
}

void checkSmartCardReaderChild() {
    const CurrentCard& card = currentCard();
    const uint32_t model = card.info.model;
    if (CardDbOsType() < kOsType2000 || model < 0x800 || model > 0x7FFF ||
        isFirstInterfaceModel(model))
        return;
    const char* child = card.info.family == 3 ? "&MI_03" : "_SC\\";
    if (HasDescendantWithId(card.info.devNode, child, false)) {
        XLogAt(1, "Nw: This card has a smart card reader device");
    } else {
        XLogAt(1, "Nw: This card has NO smart card reader device");
        clearFlag(CardDriverCapabilitiesSmartCardReader);
    }
}

void appPortStep() {
    CurrentCard& card = currentCard();
    if (card.finalPortOpened || modemMissing())
        return;
    if (!has(CardDriverCapabilitiesMultiplexing)) {
        // The application port is the modem's own port.
        if (IsDeviceNodeActive(card.modemNode, !isNtPlatform()))
            OpenFinalPort();
        return;
    }
    if (isEmpty(card.info.portName)) {
        const uint32_t method = card.methods.appPort;
        if (isDefaultMethod(method))
            DetectDefaultAppPort();
        else if (method == kMethodDeviceNamePolling || method == kMethodDeviceNameEventBased)
            detectAppPortByDeviceName();
    }
    if (isEmpty(card.info.portName))
        return;
    OpenFinalPort();
    if (!card.finalPortOpened)
        return;
    checkSmartCardReaderChild();
}

void smartCardReaderStep() {
    if (!smartCardReaderMissing() || modemMissing() || finalPortMissing())
        return;
    if (!DetectSmartCardReader(true)) {
        XLogAt(2, "Nw: No smart card reader is detected even though it is exposed from the hw - "
                  "ignoring it...");
        clearFlag(CardDriverCapabilitiesSmartCardReader);
    }
}

bool searchesNdisPort() {
    const CurrentCard& card = currentCard();
    const int32_t family = card.info.family;
    return family == 5 || family == 6 || family == 7 || card.info.model >= 0xB00;
}

// The WWAN NDIS control device whose adapter id is the card's adapter's.
bool findWwanNdisPort(std::string& found) {
    const CurrentCard& card = currentCard();
    const OptionalText& pattern = record().wwanNdisPortName;
    if (!pattern)
        return false;
    const std::string mask = utf8FromUtf16(*pattern);
    const std::u16string adapterId =
        textOf(card.info.netCfgInstanceId).substr(0, kAdapterIdCompared);
    const auto tree = platform::deviceTree();
    for (int index = 0; index < kDriverDeviceProbes; ++index) {
        const std::string name = formatDeviceName(mask, index).substr(0, kNdisNameLength);
        if (tree->probeDevice(name, platform::OpenMode::Query) != 0)
            continue;
        if (card.info.model > 0x7FFF) {
            found = name;
            return true;
        }
        char16_t answer[kAdapterIdBytes / sizeof(char16_t)] = {};
        size_t returned = 0;
        const uint32_t error =
            tree->controlDevice(name, platform::kRequestAdapterId, answer, sizeof answer, returned);
        if (error != 0 || returned == 0) {
            XLogAt(2,
                   "Nw: LMNDISx NetCfgInstanceId could not be queried (rc=0x%x), old driver? "
                   "Assuming \\\\.\\LMNDIS0 as WWAN NDIS port name.",
                   error);
            found = formatDeviceName(mask, 0).substr(0, kNdisNameLength);
            return true;
        }
        const std::u16string id = textOf(answer, returned / sizeof(char16_t));
        if (id.substr(0, kAdapterIdCompared) == adapterId) {
            found = name;
            return true;
        }
    }
    return false;
}

void DetectWwanDevice() {
    CurrentCard& card = currentCard();
    FoundDevice adapter;
    if (!HaveNetAdapter(record().wwanNicName, card.info.devNode, adapter))
        return;
    if (adapter.name.empty() || adapter.netCfgInstanceId.empty()) {
        XLogAt(2, "Nw: DetectWwanDevice(): Inconsistent state, a valid WWAN network adapter found "
                  "but its name a/o net cfg instance id is empty - skipping it");
        return;
    }
    XLogAt(
        1,
        "Nw: Corresponding WWAN network adapter %s found with devnode 0x%x (NetCfgInstanceId=%s)",
        adapter.name.c_str(), adapter.node, adapter.netCfgInstanceId.c_str());
    copyText(card.info.wwanNicName, utf16FromUtf8(adapter.name));
    copyText(card.info.netCfgInstanceId, utf16FromUtf8(adapter.netCfgInstanceId));
    card.wwanNicNode = adapter.node;
    if (!has(CardDriverCapabilitiesWwanNdisPort) || !searchesNdisPort())
        return;
    std::string ndisPort;
    if (findWwanNdisPort(ndisPort)) {
        XLogAt(1, "Nw: Corresponding WWAN NDIS port found under %s", ndisPort.c_str());
        copyText(card.info.wwanNdisPortName, utf16FromUtf8(ndisPort));
    } else {
        XLogAt(3, "Nw: WWAN NDIS port name could not be detected, removing "
                  "CardDriverCapabilitiesWwanNdisPort flag...");
        clearFlag(CardDriverCapabilitiesWwanNdisPort);
    }
}

void wwanAdapterStep() {
    if (!has(CardDriverCapabilitiesWwanNic) || !isEmpty(currentCard().info.wwanNicName))
        return;
    if (modemMissing() || smartCardReaderMissing() || finalPortMissing())
        return;
    DetectWwanDevice();
}

void dbgPortStep() {
    const CurrentCard& card = currentCard();
    if (card.methods.dbgPort == 0 || !isEmpty(card.info.dbgPortName))
        return;
    if (modemMissing() || finalPortMissing())
        return;
    if (isDefaultMethod(card.methods.dbgPort))
        DetectDefaultDbgPort();
}

void app2PortStep() {
    const CurrentCard& card = currentCard();
    if (!has(CardDriverCapabilitiesSecondaryAppPort) || !isEmpty(card.info.app2PortName))
        return;
    if (modemMissing() || finalPortMissing())
        return;
    if (isDefaultMethod(card.methods.app2Port))
        DetectDefaultApp2Port();
}

bool isComplete() {
    const CurrentCard& card = currentCard();
    return !modemMissing() && !finalPortMissing() && !smartCardReaderMissing() &&
           !(card.methods.dbgPort != 0 && isEmpty(card.info.dbgPortName)) &&
           !(has(CardDriverCapabilitiesSecondaryAppPort) && isEmpty(card.info.app2PortName)) &&
           !(has(CardDriverCapabilitiesWwanNic) && isEmpty(card.info.wwanNicName));
}

bool inRange(uint32_t model, uint32_t low, uint32_t high) {
    return model >= low && model <= high;
}

// The name pattern of the driver's bus device, or none for models without one.
const char* busDevicePattern(uint32_t model) {
    if (inRange(model, 0x1C00, 0x1F00) || model == 0x2200 || model == 0x2240 || model == 0x1B00 ||
        model == 0x2300 || model == 0x2301)
        return "\\\\.\\lmuhsbus%d";
    if (has(CardDriverCapabilities72Bus))
        return "\\\\.\\lm72ubus%d";
    if (inRange(model, 0xB00, 0xB03) || inRange(model, 0xF00, 0xF03))
        return "\\\\.\\lmfbus%d";
    if (inRange(model, 0x1800, 0x1A00) || model == 0x1B20 || model == 0x2220)
        return "\\\\.\\lm72ubus%d";
    if (model == 0x901 || model == 0x1100)
        return "\\\\.\\lmmbus%d";
    if (model == 0xD00 || model == 0x1200 || model == 0x1300 || model == 0x1400 || model == 0x1600)
        return "\\\\.\\lmvbus%d";
    if (model == 0xC00)
        return "\\\\.\\lmsbus%d";
    if (model == 0x1500)
        return "\\\\.\\lmfbus%d";
    return nullptr;
}

bool isStartingWithCard() {
    return currentCard().info.state == CardStateStarting && haveCard();
}

void DetectBusDevice() {
    if (!isStartingWithCard())
        return;
    CurrentCard& card = currentCard();
    const char* pattern = busDevicePattern(card.info.model);
    if (!pattern) {
        XLogAt(1, "Nw: Bus device name could not be determined, skipping its detection");
        return;
    }
    const auto tree = platform::deviceTree();
    for (int index = 0; index < kDriverDeviceProbes; ++index) {
        const std::string name = formatDeviceName(pattern, index);
        const uint32_t error = tree->probeDevice(name, platform::OpenMode::Query);
        if (error != 0 && error != platform::DeviceTree::kAccessDenied)
            continue;
        if (error != 0)
            XLogAt(2, "Nw: Bus device found but could not be opened");
        XLogAt(1, "Nw: Bus device found (%s)", name.c_str());
        copyText(card.info.busDeviceName, utf16FromUtf8(name));
        return;
    }
    XLogAt(1, "Nw: Bus device is not found with mask [%s]", pattern);
}

void DetectDriverVersion() {
    if (!isStartingWithCard())
        return;
    CurrentCard& card = currentCard();
    const uint32_t node = card.wwanNicNode ? card.wwanNicNode
                          : card.modemNode ? card.modemNode
                                           : card.appPortNode;
    if (node == 0) {
        XLogAt(2, "Nw: Could not determine driver version since no major subdevice is found");
        return;
    }
    const auto tree = platform::deviceTree();
    std::string instanceId;
    uint64_t version = 0;
    uint32_t error = tree->instanceId(node, instanceId);
    if (error == 0)
        error = tree->driverVersion(instanceId, version);
    if (error != 0) {
        XLogAt(3, "Nw: Failed to determine driver version (0x%x)", error);
        return;
    }
    card.info.driverVersionMs = static_cast<uint32_t>(version >> 32);
    card.info.driverVersionLs = static_cast<uint32_t>(version);
    XLogAt(1, "Nw: Driver version: %d.%d.%d.%d", static_cast<int>((version >> 48) & 0xFFFF),
           static_cast<int>((version >> 32) & 0xFFFF), static_cast<int>((version >> 16) & 0xFFFF),
           static_cast<int>(version & 0xFFFF));
}

// False while a mobile-broadband capable card waits for its interface.
bool mobileBroadbandCheck() {
    CurrentCard& card = currentCard();
    if (CardDbOsType() < kOsType7 || CardDbOsType() == kOsTypeUnknown || card.info.model > 0x7FFF ||
        !has(CardDriverCapabilitiesWwanNic) || isEmpty(card.info.netCfgInstanceId) ||
        card.info.driverVersionMs != kMbApiDriverVersion)
        return true;
    bool listed = false;
    {
        std::lock_guard<std::mutex> guard(lookupMutex);
        if (mobileBroadbandLookup())
            listed = mobileBroadbandLookup()(textOf(card.info.netCfgInstanceId));
    }
    if (!listed) {
        XLogAt(1, "Nw: MB API capable device found but no corresponding API device present yet, "
                  "waiting...");
        return false;
    }
    XLogAt(1, "Nw: MB API capable device found");
    setFlag(CardDriverCapabilitiesMbApi);
    if (has(CardDriverCapabilitiesPersistentApn)) {
        XLogAt(1, "Nw: Removed persistent APN flag for MB API capable device");
        clearFlag(CardDriverCapabilitiesPersistentApn);
    }
    return true;
}

// Which functions a composite card has, as its children tell.
struct CardFunctions {
    bool modem = false;
    bool adapter = false;
};

// The first interface's device class: a multifunction device is both, a modem only a modem,
// anything else the adapter; both when the class cannot be read.
CardFunctions functionsFromFirstInterface(uint32_t cardNode) {
    std::string classGuid;
    const uint32_t error = QueryChildClassGuid(cardNode, "MI_00", classGuid);
    if (error != 0) {
        XLogAt(3,
               "Nw: DetectAllSubdevices(): Could not query the device class of the first "
               "interface (err 0x%x), assuming both a modem and a WWAN NIC device",
               error);
        return {true, true};
    }
    if (platform::equalIgnoringCase(platform::kClassMultifunction, classGuid))
        return {true, true};
    if (platform::equalIgnoringCase(platform::kClassModem, classGuid))
        return {true, false};
    return {false, true};
}

CardFunctions functionsFromChildren(uint32_t model, uint32_t cardNode) {
    if (isFirstInterfaceModel(model))
        return functionsFromFirstInterface(cardNode);
    if (has(CardDriverCapabilities72Bus) || model == 0x1800)
        return {HasDescendantWithId(cardNode, "_MDM\\", true),
                model != 0x2301 && HasDescendantWithId(cardNode, "_NET\\", true)};
    const int found = FindChildWithIds(cardNode, "_FF_SER", "_FF_NET", "_FF\\");
    return {found == 1 || found == 3, found == 2 || found == 3};
}

void setFunctionFlags(const CardFunctions& functions, uint32_t model) {
    if (functions.modem)
        setFlag(CardDriverCapabilitiesModem);
    else
        clearFlag(CardDriverCapabilitiesModem);
    clearFlag(kDriverCapStack2);
    if (functions.adapter) {
        setFlag(CardDriverCapabilitiesWwanNic | CardDriverCapabilitiesWwanNdisPort);
        if (model >= 0x900 && !has(CardDriverCapabilities72Bus) &&
            currentCard().info.stackType == 2)
            setFlag(kDriverCapStack2);
    } else {
        clearFlag(CardDriverCapabilitiesWwanNic | CardDriverCapabilitiesWwanNdisPort |
                  kDriverCapStack2);
    }
    if (model == 0x1800)
        clearFlag(CardDriverCapabilitiesWwanNdisPort | kDriverCapStack2);
}

// An application port child (`kind` "primary" or "secondary") sets its flag.
void detectAppPortChild(uint32_t cardNode, const char* childId, uint32_t flag, const char* kind) {
    if (HasDescendantWithId(cardNode, childId, true)) {
        setFlag(flag);
        XLogAt(1, "Nw: This card has a %s application port", kind);
    } else {
        XLogAt(1, "Nw: This card has NO %s application port", kind);
    }
}

} // namespace

bool isDiscoveryModel(uint32_t model) {
    return model > 0x800 && model <= 0x5FFF && model != 0x2000 && model != 0x2100;
}

void setMobileBroadbandLookup(MobileBroadbandLookup lookup) {
    std::lock_guard<std::mutex> guard(lookupMutex);
    mobileBroadbandLookup() = std::move(lookup);
}

std::string formatDeviceName(const std::string& pattern, int index) {
    std::string out;
    bool replaced = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (pattern[i + 1] == 'd' && !replaced) {
                out += std::to_string(index);
                replaced = true;
                ++i;
                continue;
            }
        }
        out += pattern[i];
    }
    return out;
}

bool DetectSmartCardReader(bool require) {
    if (!haveCard())
        return false;
    CurrentCard& card = currentCard();
    const OptionalText& names = record().smartCardReaderName;
    if (!names || names->empty())
        return false;
    if (require && !has(CardDriverCapabilitiesSmartCardReader))
        return false;
    FoundDevice reader;
    if (!HaveSmartCardReader(names, card.info.devNode, false, reader))
        return false;
    if (reader.name.empty()) {
        XLogAt(2, "Nw: DetectSmartCardReader(): Inconsistent state, a valid smart card reader "
                  "found but its name is empty - skipping it");
        return false;
    }
    XLogAt(1, "Nw: Corresponding smart card reader %s found with devnode 0x%x", reader.name.c_str(),
           reader.node);
    copyText(card.info.smartCardReaderName, utf16FromUtf8(reader.name));
    card.smartCardReaderNode = reader.node;
    return true;
}

void DetectAllSubdevices() {
    CurrentCard& card = currentCard();
    const uint32_t model = card.info.model;
    const uint32_t cardNode = card.info.devNode;
    const CardFunctions functions = functionsFromChildren(model, cardNode);
    XLogAt(1, "Nw: This card %s modem device and %s WWAN NIC device",
           functions.modem ? "has a" : "has NO", functions.adapter ? "has a" : "has NO");
    setFunctionFlags(functions, model);
    if (model == 0x901 || model >= 0xB00) {
        detectAppPortChild(cardNode, "_APP\\", CardDriverCapabilitiesPrimaryAppPort, "primary");
        if (model <= 0x7FFF)
            detectAppPortChild(cardNode, "_APL\\", CardDriverCapabilitiesSecondaryAppPort,
                               "secondary");
    }
}

int CheckSubdevices(SubdeviceStep steps, uint32_t reason) {
    if (!isStartingWithCard())
        return 0;
    CurrentCard& card = currentCard();
    if (isDiscoveryModel(card.info.model)) {
        if (!card.subdevicesReady)
            return 0;
        if (!card.subdevicesScanned) {
            DetectAllSubdevices();
            card.subdevicesScanned = true;
        }
    }

    if (includes(steps, SubdeviceStep::Modem) && has(CardDriverCapabilitiesModem) &&
        isEmpty(card.info.modemName) && isDefaultMethod(card.methods.modem))
        DetectModem();
    const bool multiplexing = has(CardDriverCapabilitiesMultiplexing);
    if (includes(steps, multiplexing ? SubdeviceStep::AppPortIfMultiplexing
                                     : SubdeviceStep::AppPortIfNotMultiplexing))
        appPortStep();
    if (includes(steps, SubdeviceStep::SmartCardReader))
        smartCardReaderStep();
    if (includes(steps, SubdeviceStep::WwanAdapter))
        wwanAdapterStep();
    if (includes(steps, SubdeviceStep::DbgPort))
        dbgPortStep();
    if (includes(steps, SubdeviceStep::App2Port))
        app2PortStep();

    if (!isComplete())
        return 0;
    if (isEmpty(card.info.busDeviceName))
        DetectBusDevice();
    if (card.info.driverVersionMs == 0 && card.info.driverVersionLs == 0)
        DetectDriverVersion();
    if (!mobileBroadbandCheck())
        return 0;
    SetCardState(CardStateStarted, reason);
    return 1;
}

} // namespace detection
