#include "sim/CardProfile.h"

#include "sim/DeviceProfile.h"

namespace cardsim {

namespace {

constexpr const char* kUsbDeviceClass = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr const char* kPortsClass = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kUsbDeviceInterface = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
constexpr const char* kComPortInterface = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";

std::vector<CardProfile> makeProfiles() {
    std::vector<CardProfile> profiles;
    CardProfile standard;
    standard.name = "QT0880";
    profiles.push_back(standard);

    // The same card with its diagnostic port only, as some driver versions expose it.
    CardProfile diagnosticOnly = standard;
    diagnosticOnly.name = "QT0880-diagnostic-only";
    diagnosticOnly.applicationPort = false;
    profiles.push_back(diagnosticOnly);

    // The product that the updater flashes in two passes.
    CardProfile twoPass = standard;
    twoPass.name = "QT0880-D055";
    twoPass.productId = "D055";
    profiles.push_back(twoPass);

    for (const DeviceProfile& devices : deviceProfiles())
        profiles.push_back(cardProfileFor(devices, standard));
    return profiles;
}

DeviceNode portNode(const CardProfile& profile, const std::string& id, const char* interfaceNumber,
                    const std::string& interfaceName, const std::string& portName) {
    const std::string usbId = "USB\\VID_" + profile.vendorId + "&PID_" + profile.productId;
    DeviceNode node;
    node.id = id;
    node.parent = "card";
    node.enumerator = "USB";
    node.instanceId =
        usbId + "&MI_" + interfaceNumber + "\\6&1234&0&00" + std::string(interfaceNumber);
    node.hardwareIds = {usbId + "&MI_" + interfaceNumber};
    node.classGuid = kPortsClass;
    node.friendlyName = "Velmar " + interfaceName + " (" + portName + ")";
    node.deviceDesc = "Velmar " + interfaceName;
    node.hardwareKey = {RegistryEntry::string("PortName", portName)};
    node.driverVersion = profile.driverVersion;
    node.interfaces = {{kComPortInterface, "\\\\?\\" + usbId + "&MI_" + interfaceNumber + "#" + id +
                                               "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"}};
    return node;
}

} // namespace

const std::vector<CardProfile>& cardProfiles() {
    static const std::vector<CardProfile> profiles = makeProfiles();
    return profiles;
}

const CardProfile* findCardProfile(const std::string& name) {
    for (const CardProfile& profile : cardProfiles()) {
        if (profile.name == name)
            return &profile;
    }
    return nullptr;
}

DeviceFileContent cardDeviceFile(const CardProfile& profile, const std::string& applicationPort,
                                 const std::string& diagnosticPort) {
    const std::string usbId = "USB\\VID_" + profile.vendorId + "&PID_" + profile.productId;
    const std::string symbolic = "USB#VID_" + profile.vendorId + "&PID_" + profile.productId + "#" +
                                 profile.serial + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    DeviceFileContent content;
    DeviceNode card;
    card.id = "card";
    card.enumerator = "USB";
    card.instanceId = usbId + "\\" + profile.serial;
    card.hardwareIds = {usbId + "&REV_0001", usbId};
    card.classGuid = kUsbDeviceClass;
    card.deviceDesc = "Composite device";
    card.hardwareKey = {RegistryEntry::string("SymbolicName", "\\??\\" + symbolic)};
    card.driverVersion = profile.driverVersion;
    card.interfaces = {{kUsbDeviceInterface, "\\\\?\\" + symbolic}};
    content.nodes.push_back(card);
    if (profile.applicationPort && !applicationPort.empty())
        content.nodes.push_back(
            portNode(profile, "app", "02", profile.applicationInterfaceName, applicationPort));
    if (profile.diagnosticPort && !diagnosticPort.empty())
        content.nodes.push_back(
            portNode(profile, "diag", "01", profile.diagnosticInterfaceName, diagnosticPort));
    return content;
}

} // namespace cardsim
