#include "detection/DeviceEnumeration.h"

#include "detection/WideText.h"
#include "detection/XLog.h"
#include "platform/DeviceTree.h"

#include <algorithm>
#include <cctype>

namespace detection {
namespace {

constexpr size_t kNameItemLength = 64;
constexpr int kMaxParentLevels = 3;
constexpr const char* kDevicePrefix = "\\\\.\\";

std::string lowerAscii(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isWindows9x() {
    const uint32_t osType = CardDbOsType();
    return osType == kOsType98 || osType == kOsTypeMe;
}

std::string listForLog(const OptionalText& names) {
    return names ? utf8FromUtf16(*names) : std::string("<NULL>");
}

// Reads a node's id for the child searches; a failure is logged under `function` and counts as
// no match.
bool readId(platform::DeviceTree& tree, uint32_t node, const char* function, std::string& id) {
    const uint32_t error = tree.instanceId(node, id);
    if (error != 0) {
        XLogAt(3, "%s(): CM_Get_Device_ID failed with 0x%x", function, error);
        return false;
    }
    return true;
}

enum class DeliveredValue { None, PortName, NetCfgInstanceId };

// What differs between the enumerators: class, name property, registry value and messages.
struct EnumeratorKind {
    const char* function;
    const char* classGuid;
    platform::TextProperty property;
    DeliveredValue value;
    const char* noneDetected;
    const char* checking;
    const char* notFound;
    const char* invalidKey;
    const char* missingValue;
};

const EnumeratorKind kModemKind{
    "HaveModem",
    platform::kClassModem,
    platform::TextProperty::FriendlyName,
    DeliveredValue::PortName,
    "Nw: No modems detected, rc=0x%x",
    "Nw: Checking modem #%d [%s]",
    "Nw: Modem not found!",
    "Nw: HaveModem(): Invalid HKEY returned for the modem registry path (0x%x)",
    "Nw: HaveModem(): Could not find \"PortName\" regkey, rc=0x%x"};

const EnumeratorKind kPortKind{
    "HavePort",
    platform::kClassPorts,
    platform::TextProperty::FriendlyName,
    DeliveredValue::PortName,
    "Nw: No ports detected, rc=0x%x",
    "Nw: Checking port #%d [%s]",
    "Nw: Port not found!",
    "Nw: HavePort(): Invalid HKEY returned for the port registry path (0x%x)",
    "Nw: HavePort(): Could not find \"PortName\" regkey, rc=0x%x"};

const EnumeratorKind kNetAdapterKind{
    "HaveNetAdapter",
    platform::kClassNet,
    platform::TextProperty::DeviceDescription,
    DeliveredValue::NetCfgInstanceId,
    "Nw: No network cards detected, rc=0x%x",
    "Nw: Checking network adapter #%d [%s]",
    "Network adapter not found!",
    "Nw: HaveNetAdapter(): Invalid HKEY returned for the network adapter registry path (0x%x)",
    "Nw: HaveNetAdapter(): Could not find \"NetCfgInstanceId\" regkey, rc=0x%x"};

const EnumeratorKind kSmartCardReaderKind{"HaveSmartCardReader",
                                          platform::kClassSmartCardReader,
                                          platform::TextProperty::DeviceDescription,
                                          DeliveredValue::None,
                                          "Nw: No smart card readers detected, rc=0x%x",
                                          "Nw: Checking smart card reader #%d [%s]",
                                          "Smart card reader not found!",
                                          "",
                                          ""};

// The common frame of the enumerators, after the "Searching for" line.
bool enumerate(const EnumeratorKind& kind, const OptionalText& names, uint32_t cardNode,
               bool checkState, DeliveredValue value, FoundDevice& found) {
    if (!names)
        return false;
    const auto tree = platform::deviceTree();
    std::vector<platform::DevNode> devices;
    const uint32_t listed = tree->devicesOfClass(kind.classGuid, devices);
    if (listed != 0) {
        XLogAt(1, kind.noneDetected, listed);
        return false;
    }
    int index = 0;
    for (const platform::DevNode device : devices) {
        const int number = index++;
        std::string name;
        const uint32_t read = tree->textProperty(device, kind.property, name);
        if (read != 0) {
            XLogAt(2, "Nw: %s(): Cannot get the device property, rc=0x%x", kind.function, read);
            continue;
        }
        XLogAt(1, kind.checking, number, name.c_str());
        if (!NameListMatches(names, name))
            continue;
        if (checkState && !IsDeviceNodeActive(device, true))
            continue;
        if (!IsBelowCard(device, cardNode))
            continue;

        FoundDevice hit;
        hit.node = device;
        hit.name = name;
        if (value != DeliveredValue::None) {
            const bool port = value == DeliveredValue::PortName;
            std::string text;
            const uint32_t error = tree->registryValue(
                device, port ? platform::RegistryKey::Hardware : platform::RegistryKey::Driver,
                port ? "PortName" : "NetCfgInstanceId", text);
            if (error == platform::DeviceTree::kInvalidHandle) {
                // The hit stands without the value.
                XLogAt(3, kind.invalidKey, error);
            } else if (error != 0 || text.empty()) {
                XLogAt(3, kind.missingValue, error);
                continue;
            } else if (port) {
                hit.portName = kDevicePrefix + text;
            } else {
                hit.netCfgInstanceId = text;
            }
        }
        found = hit;
        return true;
    }
    XLogAt(1, "%s", kind.notFound);
    return false;
}

} // namespace

std::vector<std::u16string> splitList(const std::u16string& list) {
    std::vector<std::u16string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(u',', start);
        items.push_back(list.substr(start, comma == std::u16string::npos ? comma : comma - start));
        if (comma == std::u16string::npos)
            break;
        start = comma + 1;
    }
    return items;
}

bool NameListMatches(const OptionalText& list, const std::string& name) {
    if (!list)
        return false;
    for (const auto& item : splitList(*list)) {
        if (item.empty())
            continue;
        const std::string cut = utf8FromUtf16(item.substr(0, kNameItemLength));
        if (name.find(cut) != std::string::npos)
            return true;
    }
    return false;
}

bool HardwareIdsMatch(const std::u16string& recordIds, const std::vector<std::string>& deviceIds,
                      bool prefix) {
    for (const auto& item : splitList(recordIds)) {
        if (item.empty())
            continue;
        const std::string wanted = lowerAscii(utf8FromUtf16(item));
        for (const auto& deviceId : deviceIds) {
            if (deviceId.empty())
                continue;
            const std::string candidate = lowerAscii(deviceId);
            if (prefix ? candidate.compare(0, wanted.size(), wanted) == 0 : candidate == wanted)
                return true;
        }
    }
    return false;
}

bool IsDeviceNodeActive(uint32_t node, bool allowReenumeration) {
    uint32_t status = 0;
    uint32_t problem = 0;
    const uint32_t error = platform::deviceTree()->status(node, status, problem);
    if (error != 0) {
        XLogAt(1,
               "Nw: IsDeviceNodeActive(): CM_Get_DevNode_Status for devnode 0x%x failed with 0x%x",
               node, error);
        return false;
    }
    const bool loaded = (status & platform::kNodeDriverLoaded) != 0;
    const bool troubled =
        (status & (platform::kNodeHasProblem | platform::kNodeWillBeRemoved)) != 0;
    const bool started = (status & platform::kNodeStarted) != 0;
    const bool needToEnum = (status & platform::kNodeNeedToEnum) != 0;
    bool active = false;
    if (loaded && !troubled) {
        if (!allowReenumeration)
            active = started && !needToEnum;
        else
            active = started || (isWindows9x() && needToEnum);
    }
    const char* word = allowReenumeration ? (active ? "active" : "inactive")
                                          : (active ? "active w/o reenum" : "inactive w/o reenum");
    XLogAt(1, "Nw: DevNode 0x%x status is 0x%x, problem# is %d (%s)", node, status,
           static_cast<int>(problem), word);
    return active;
}

bool IsBelowCard(uint32_t node, uint32_t cardNode) {
    if (node == 0 || cardNode == 0)
        return false;
    if (node == cardNode)
        return true;
    const auto tree = platform::deviceTree();
    platform::DevNode current = node;
    for (int level = 0; level < kMaxParentLevels; ++level) {
        platform::DevNode parent = 0;
        if (tree->parent(current, parent) != 0)
            return false;
        if (parent == cardNode)
            return true;
        current = parent;
    }
    return false;
}

bool HasDescendantWithId(uint32_t node, const std::string& text, bool reportNoChildren) {
    const auto tree = platform::deviceTree();
    std::vector<platform::DevNode> children;
    const uint32_t error = tree->children(node, children);
    if (children.empty()) {
        if (reportNoChildren)
            XLogAt(2, "Nw: Device 0x%x has no children at all (err 0x%x)", node, error);
        return false;
    }
    // Depth first without recursion: first child, its descendants, then the next sibling.
    std::vector<platform::DevNode> pending(children.rbegin(), children.rend());
    while (!pending.empty()) {
        const platform::DevNode current = pending.back();
        pending.pop_back();
        std::string id;
        if (readId(*tree, current, "HasDeviceNameSubString", id) &&
            id.find(text) != std::string::npos)
            return true;
        std::vector<platform::DevNode> below;
        tree->children(current, below);
        pending.insert(pending.end(), below.rbegin(), below.rend());
    }
    return false;
}

int FindChildWithIds(uint32_t node, const std::string& first, const std::string& second,
                     const std::string& third) {
    const auto tree = platform::deviceTree();
    std::vector<platform::DevNode> children;
    const uint32_t error = tree->children(node, children);
    if (children.empty()) {
        XLogAt(2, "Nw: Device 0x%x has no children at all (err 0x%x)", node, error);
        return 0;
    }
    const std::string texts[] = {first, second, third};
    for (const platform::DevNode child : children) {
        std::string id;
        if (!readId(*tree, child, "HasDeviceNameSubStrings", id))
            continue;
        for (int i = 0; i < 3; ++i)
            if (!texts[i].empty() && id.find(texts[i]) != std::string::npos)
                return i + 1;
    }
    return 0;
}

uint32_t QueryChildClassGuid(uint32_t node, const std::string& text, std::string& classGuid) {
    if (text.empty())
        return platform::DeviceTree::kInvalidParameter;
    const auto tree = platform::deviceTree();
    std::vector<platform::DevNode> pending;
    tree->children(node, pending);
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
        const platform::DevNode current = pending.back();
        pending.pop_back();
        std::string id;
        if (readId(*tree, current, "HasDeviceNameSubString", id) &&
            id.find(text) != std::string::npos)
            return tree->enumClassGuid(id, classGuid);
        std::vector<platform::DevNode> below;
        tree->children(current, below);
        pending.insert(pending.end(), below.rbegin(), below.rend());
    }
    return platform::DeviceTree::kNotFound;
}

bool AreAllChildrenActive(uint32_t node) {
    std::vector<platform::DevNode> children;
    platform::deviceTree()->children(node, children);
    if (children.empty())
        return false;
    for (const platform::DevNode child : children)
        if (!IsDeviceNodeActive(child, true))
            return false;
    XLogAt(1, "Nw: All subdevices are active");
    return true;
}

bool HaveModem(const OptionalText& names, uint32_t cardNode, bool wantPort, FoundDevice& found) {
    XLogAt(1, "Nw: Searching for modem [%s] with parent 0x%x", listForLog(names).c_str(), cardNode);
    return enumerate(kModemKind, names, cardNode, true,
                     wantPort ? DeliveredValue::PortName : DeliveredValue::None, found);
}

bool HavePort(const OptionalText& names, uint32_t cardNode, FoundDevice& found) {
    XLogAt(1, "Nw: Searching for port [%s] with parent 0x%x", listForLog(names).c_str(), cardNode);
    return enumerate(kPortKind, names, cardNode, true, DeliveredValue::PortName, found);
}

bool HaveNetAdapter(const OptionalText& names, uint32_t cardNode, FoundDevice& found) {
    XLogAt(1, "Nw: Searching for network adapter [%s] with parent 0x%x", listForLog(names).c_str(),
           cardNode);
    return enumerate(kNetAdapterKind, names, cardNode, true, DeliveredValue::NetCfgInstanceId,
                     found);
}

bool HaveSmartCardReader(const OptionalText& names, uint32_t cardNode, bool checkState,
                         FoundDevice& found) {
    XLogAt(1, "Nw: Searching for smart card reader [%s] with parent 0x%x (%s checking state)",
           listForLog(names).c_str(), cardNode, checkState ? "with" : "without");
    return enumerate(kSmartCardReaderKind, names, cardNode, checkState, DeliveredValue::None,
                     found);
}

} // namespace detection
