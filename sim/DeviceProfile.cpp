#include "sim/DeviceProfile.h"

#include <algorithm>

namespace cardsim {
namespace {

constexpr const char* kUsbDeviceClass = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr const char* kPortsClass = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kModemClass = "{4D36E96D-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kNetClass = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kSmartCardReaderClass = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}";
constexpr const char* kMultifunctionClass = "{4D36E971-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kUsbDeviceInterface = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
constexpr const char* kComPortInterface = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
constexpr const char* kModemInterface = "{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}";
constexpr const char* kNetInterface = "{AD498944-762F-11D0-8DCB-00C04FC3358C}";
constexpr const char* kSmartCardInterface = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}";

constexpr const char* kAppPlaceholder = "{app}";
constexpr const char* kDiagPlaceholder = "{diag}";

// Builds one profile: the composite card first, then its children.
class ProfileBuilder {
public:
    ProfileBuilder(const std::string& name, const std::string& section, const std::string& model,
                   const std::string& lmCode, const std::string& usbId,
                   const std::string& driverVersion)
        : usbId_(usbId), driverVersion_(driverVersion) {
        profile_.name = name;
        profile_.section = section;
        profile_.model = model;
        profile_.lmCode = lmCode;
        const std::string bare = usbId.substr(4); // without "USB\"
        const std::string symbolic = "USB#" + bare + "#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
        DeviceNode card;
        card.id = "card";
        card.enumerator = "USB";
        card.instanceId = usbId + "\\0001";
        card.hardwareIds = {usbId + "&REV_0100", usbId};
        card.classGuid = kUsbDeviceClass;
        card.deviceDesc = "USB Composite Device";
        card.hardwareKey = {RegistryEntry::string("SymbolicName", "\\??\\" + symbolic)};
        card.interfaces = {{kUsbDeviceInterface, "\\\\?\\" + symbolic}};
        add(card, 0);
    }

    // A child whose instance id is `enumerator\` + the card's ids + `suffix` + `\serial`.
    DeviceNode child(const std::string& id, const std::string& parent,
                     const std::string& enumerator, const std::string& suffix,
                     const char* classGuid) const {
        DeviceNode node;
        node.id = id;
        node.parent = parent;
        node.enumerator = enumerator;
        const std::string bare = usbId_.substr(4);
        node.instanceId = enumerator + "\\" + bare + suffix + "\\7&2f1c&0&" + id;
        node.hardwareIds = {enumerator + "\\" + bare + suffix};
        node.classGuid = classGuid;
        node.driverVersion = driverVersion_;
        return node;
    }

    DeviceNode port(const std::string& id, const std::string& parent, const std::string& enumerator,
                    const std::string& suffix, const std::string& friendlyName,
                    const std::string& portName) const {
        DeviceNode node = child(id, parent, enumerator, suffix, kPortsClass);
        node.friendlyName = friendlyName + " (" + portName + ")";
        node.deviceDesc = friendlyName;
        node.hardwareKey = {RegistryEntry::string("PortName", portName)};
        node.interfaces = {
            {kComPortInterface, "\\\\?\\" + node.instanceId + "#" + kComPortInterface}};
        return node;
    }

    DeviceNode modem(const std::string& id, const std::string& parent,
                     const std::string& enumerator, const std::string& suffix,
                     const std::string& friendlyName, const std::string& portName) const {
        DeviceNode node = child(id, parent, enumerator, suffix, kModemClass);
        node.friendlyName = friendlyName;
        node.deviceDesc = friendlyName;
        if (!portName.empty())
            node.hardwareKey = {RegistryEntry::string("PortName", portName)};
        node.interfaces = {{kModemInterface, "\\\\?\\" + node.instanceId + "#" + kModemInterface}};
        return node;
    }

    DeviceNode adapter(const std::string& id, const std::string& parent,
                       const std::string& enumerator, const std::string& suffix,
                       const std::string& description, const std::string& netCfgInstanceId) const {
        DeviceNode node = child(id, parent, enumerator, suffix, kNetClass);
        node.deviceDesc = description;
        node.friendlyName = description;
        node.driverKey = {RegistryEntry::string("NetCfgInstanceId", netCfgInstanceId)};
        node.interfaces = {{kNetInterface, "\\\\?\\" + node.instanceId + "#" + kNetInterface}};
        return node;
    }

    DeviceNode reader(const std::string& id, const std::string& parent,
                      const std::string& enumerator, const std::string& suffix,
                      const std::string& description) const {
        DeviceNode node = child(id, parent, enumerator, suffix, kSmartCardReaderClass);
        node.deviceDesc = description;
        node.interfaces = {
            {kSmartCardInterface, "\\\\?\\" + node.instanceId + "#" + kSmartCardInterface}};
        return node;
    }

    ProfileBuilder& add(const DeviceNode& node, size_t stage, size_t startedStage = 0) {
        profile_.nodes.push_back({node, stage, std::max(stage, startedStage)});
        return *this;
    }
    ProfileBuilder& deviceName(const std::string& name, size_t stage,
                               const std::string& netCfgInstanceId = "",
                               const std::string& open = "ok") {
        profile_.deviceNames.push_back({DeviceName{name, open, netCfgInstanceId}, stage});
        return *this;
    }
    ProfileBuilder& delays(std::vector<uint64_t> delaysMs) {
        profile_.stageDelaysMs = std::move(delaysMs);
        return *this;
    }
    ProfileBuilder& withoutDiagnosticPort() {
        profile_.diagnosticPort = false;
        return *this;
    }
    DeviceProfile build() const { return profile_; }

private:
    std::string usbId_;
    std::string driverVersion_;
    DeviceProfile profile_;
};

// The maker's composite cards with a function node. The function node comes first; the
// modem below it follows once its driver has started, then the application and diagnostic
// ports, and last the network adapter below the function node with its NDIS control device.
// Ports after the modem: the application port can only be completed once the modem is known,
// and its detection waits for a COM port or network interface arrival.
DeviceProfile compositeCard(const std::string& name, const std::string& section,
                            const std::string& model, const std::string& lmCode,
                            const std::string& usbId, const std::string& interfacePrefix,
                            const std::string& netCfgInstanceId) {
    ProfileBuilder card(name, section, model, lmCode, usbId, "3.2.1.0");
    card.add(card.child("ff", "card", "LMUHSBUS", "_FF", kMultifunctionClass), 1)
        .add(card.modem("modem", "ff", "LMUHSBUS", "_FF_SER", "Velmar " + model + " Modem", ""), 2)
        .add(card.port("app", "card", "LMUHSBUS", "_APP", interfacePrefix + "Application Interface",
                       kAppPlaceholder),
             3)
        .add(card.port("diag", "card", "LMUHSBUS", "_DBG",
                       interfacePrefix + "Diagnostics Interface", kDiagPlaceholder),
             3)
        .add(card.adapter("nic", "ff", "LMUHSBUS", "_FF_NET",
                          "Velmar " + model + " Network Adapter", netCfgInstanceId),
             4)
        .deviceName("lmuhsbus0", 0)
        .deviceName("LMNDIS0", 4, netCfgInstanceId)
        .delays({300, 400, 300, 500});
    return card.build();
}

std::vector<DeviceProfile> makeDeviceProfiles() {
    std::vector<DeviceProfile> profiles;
    profiles.push_back(compositeCard("QT0880-composite", "Velmar QT0880 HSPA+ USB Modem", "QT0880",
                                     "QT0880-27315", "USB\\VID_1234&PID_5678", "Velmar ",
                                     "{5A1C0880-0001-4E2D-9A51-7E1A00000880}"));
    profiles.push_back(compositeCard(
        "QT0880-D055-composite", "Velmar QT0880 HSPA+ USB Modem (D055)", "QT0880", "QT0880-27315",
        "USB\\VID_1234&PID_D055", "Velmar ", "{5A1C0880-0055-4E2D-9A51-7E1A00000880}"));
    profiles.push_back(compositeCard("WM770", "Velmar WM770 LTE USB Modem", "WM770", "WM770-41770",
                                     "USB\\VID_1234&PID_D770", "Velmar WM770 ",
                                     "{5A1C0770-0001-4E2D-9A51-7E1A00000770}"));

    {
        // A non-multiplexing card: its modem's port is the AT port.
        ProfileBuilder card("GT300", "Velmar GT300 UMTS USB Modem", "GT300", "GT300-10300",
                            "USB\\VID_1234&PID_3000", "1.4.0.2");
        card.add(
                card.modem("modem", "card", "USB", "&MI_00", "Velmar GT300 Modem", kAppPlaceholder),
                1)
            .delays({400})
            .withoutDiagnosticPort();
        profiles.push_back(card.build());
    }
    {
        // The 72Bus driver family: the bus driver is a function of the composite device and
        // enumerates its "_MDM\", "_APP\", "_DBG\" and "_NET\" children at once; their
        // drivers start one after the other: the modem, then the ports, the adapter last.
        ProfileBuilder card("MX720", "Velmar MX720 HSUPA USB Modem", "MX720", "MX720-20720",
                            "USB\\VID_1234&PID_7200", "2.6.3.1");
        const std::string adapterId = "{5A1C0720-0001-4E2D-9A51-7E1A00000720}";
        card.add(card.child("bus", "card", "USB", "&MI_00", kMultifunctionClass), 1)
            .add(card.modem("modem", "bus", "LM72UBUS", "_MDM", "Velmar MX720 Modem", ""), 1, 2)
            .add(card.port("app", "bus", "LM72UBUS", "_APP", "Velmar MX720 Application Interface",
                           kAppPlaceholder),
                 1, 3)
            .add(card.port("diag", "bus", "LM72UBUS", "_DBG", "Velmar MX720 Diagnostics Interface",
                           kDiagPlaceholder),
                 1, 3)
            .add(card.adapter("nic", "bus", "LM72UBUS", "_NET", "Velmar MX720 Network Adapter",
                              adapterId),
                 1, 4)
            .deviceName("lm72ubus0", 0)
            .deviceName("LMNDIS0", 4, adapterId)
            .delays({300, 300, 300, 600});
        profiles.push_back(card.build());
    }
    {
        // A WWAN card with an NDIS control device: the first control device belongs to another
        // adapter, the second answers with this card's adapter id.
        ProfileBuilder card("WX500", "Velmar WX500 HSDPA USB Modem", "WX500", "WX500-30500",
                            "USB\\VID_1234&PID_5000", "2.2.0.4");
        const std::string adapterId = "{5A1C0500-0001-4E2D-9A51-7E1A00000500}";
        card.add(card.modem("modem", "card", "USB", "&MI_00", "Velmar WX500 Modem", ""), 1)
            .add(card.port("diag", "card", "USB", "&MI_01", "Velmar WX500 Diagnostics Interface",
                           kDiagPlaceholder),
                 2)
            .add(card.port("app", "card", "USB", "&MI_02", "Velmar WX500 Application Interface",
                           kAppPlaceholder),
                 2)
            .add(card.adapter("nic", "card", "USB", "&MI_04", "Velmar WX500 Network Adapter",
                              adapterId),
                 3)
            .deviceName("LMNDIS0", 0, "{00000000-0000-0000-0000-000000000001}")
            .deviceName("LMNDIS1", 3, adapterId)
            .delays({300, 300, 500});
        profiles.push_back(card.build());
    }
    {
        // Family 3: the smart card reader is USB interface 3; it comes with the function node,
        // before the modem and the ports.
        ProfileBuilder card("SC650", "Velmar SC650 HSDPA USB Modem", "SC650", "SC650-30650",
                            "USB\\VID_1234&PID_6500", "2.0.5.0");
        card.add(card.child("ff", "card", "LMVBUS", "_FF_SER", kMultifunctionClass), 1)
            .add(card.reader("reader", "card", "USB", "&MI_03", "Velmar SC650 Smart Card Reader"),
                 1)
            .add(card.modem("modem", "ff", "LMVBUS", "_SER", "Velmar SC650 Modem", ""), 2)
            .add(card.port("app", "card", "LMVBUS", "_APP", "Velmar SC650 Application Interface",
                           kAppPlaceholder),
                 3)
            .add(card.port("diag", "card", "LMVBUS", "_DBG", "Velmar SC650 Diagnostics Interface",
                           kDiagPlaceholder),
                 3)
            .deviceName("lmvbus0", 0)
            .delays({300, 400, 300});
        profiles.push_back(card.build());
    }
    return profiles;
}

std::string substitute(std::string text, const std::string& applicationPort,
                       const std::string& diagnosticPort) {
    const std::pair<std::string, std::string> replacements[] = {{kAppPlaceholder, applicationPort},
                                                                {kDiagPlaceholder, diagnosticPort}};
    for (const auto& [placeholder, value] : replacements) {
        for (size_t at = text.find(placeholder); at != std::string::npos;
             at = text.find(placeholder, at + value.size()))
            text.replace(at, placeholder.size(), value);
    }
    return text;
}

} // namespace

const std::vector<DeviceProfile>& deviceProfiles() {
    static const std::vector<DeviceProfile> profiles = makeDeviceProfiles();
    return profiles;
}

const DeviceProfile* findDeviceProfile(const std::string& name) {
    for (const DeviceProfile& profile : deviceProfiles())
        if (profile.name == name)
            return &profile;
    return nullptr;
}

size_t stageCount(const DeviceProfile& profile) {
    size_t count = 1;
    for (const auto& node : profile.nodes)
        count = std::max(count, node.startedStage + 1);
    for (const auto& name : profile.deviceNames)
        count = std::max(count, name.stage + 1);
    return count;
}

DeviceFileContent deviceProfileFile(const DeviceProfile& profile,
                                    const std::string& applicationPort,
                                    const std::string& diagnosticPort, size_t stages) {
    DeviceFileContent content;
    for (const auto& entry : profile.nodes) {
        if (entry.stage >= stages)
            continue;
        DeviceNode node = entry.node;
        node.friendlyName = substitute(node.friendlyName, applicationPort, diagnosticPort);
        for (auto& value : node.hardwareKey)
            value.text = substitute(value.text, applicationPort, diagnosticPort);
        node.status.started = entry.startedStage < stages;
        // A driver announces its device interfaces when it starts.
        if (!node.status.started)
            node.interfaces.clear();
        // A port whose pseudo-terminal the simulator does not have is left out.
        bool unusable = false;
        for (const auto& value : node.hardwareKey)
            unusable = unusable || (value.name == "PortName" && value.text.empty());
        if (!unusable)
            content.nodes.push_back(node);
    }
    for (const auto& entry : profile.deviceNames)
        if (entry.stage < stages)
            content.deviceNames.push_back(entry.name);
    return content;
}

CardProfile cardProfileFor(const DeviceProfile& devices, const CardProfile& standard) {
    CardProfile card = standard;
    card.name = devices.name;
    card.deviceProfile = devices.name;
    card.factoryState.model = devices.model;
    card.factoryState.lmCode = devices.lmCode;
    card.diagnosticPort = devices.diagnosticPort;
    return card;
}

} // namespace cardsim
