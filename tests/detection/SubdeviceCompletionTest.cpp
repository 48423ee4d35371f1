#include "tests/support/NwLibraryTestSupport.h"

#include "detection/CardDetection.h"
#include "detection/SubdeviceCompletion.h"

#include <gtest/gtest.h>

namespace {

using namespace detectiontest;

constexpr uint32_t kFlag10 = 0x10;
constexpr const char* kComPortInterface = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
constexpr const char* kNetworkInterface = "{AD498944-762F-11D0-8DCB-00C04FC3358C}";
// Logical milliseconds: a bound for a card to complete (several polling periods), and the time
// a card that must not complete is watched (five polling periods).
constexpr uint64_t kCompletionWaitMs = 20000;
constexpr uint64_t kWatchMs = 5000;

// Completion through the library's own state machine: the library is initialised without a
// card, the card then arrives in the in-memory tree, and the notification window's device
// events and timers select the steps that run, as for a client.
class SubdeviceCompletion : public NwSession {
protected:
    void TearDown() override {
        detection::setMobileBroadbandLookup({});
        NwSession::TearDown();
    }

    // A card with a modem ("Lyra Modem", port lyra0) and an application port ("Lyra App",
    // port lyra1) below it; the ports open.
    platform::DeviceGroup lyra(bool modemPort = true) {
        platform::DeviceGroup group;
        usbDevice(group, "card", "", "USB\\VID_1234&PID_0001\\1", {"USB\\VID_1234&PID_0001"});
        auto& modem = portNode(group, "modem", "card", "USB\\VID_1234&PID_0001&MI_00\\1",
                               "Lyra Modem", modemPort ? "lyra0" : "", platform::kClassModem);
        modem.driverVersion = (uint64_t(2) << 48) | (uint64_t(1) << 32) | 7;
        portNode(group, "app", "card", "USB\\VID_1234&PID_0001&MI_02\\1", "Lyra App (lyra1)",
                 "lyra1");
        group.deviceNames["lyra0"] = {};
        group.deviceNames["lyra1"] = {};
        return group;
    }
    std::vector<std::string> lyraSection(const std::string& model, const std::string& driverCap,
                                         const std::vector<std::string>& extra = {},
                                         const std::string& family = "0") {
        auto lines = std::vector<std::string>{"AdModemName=Lyra Modem", "AdModemDetect=0x1",
                                              "AdAppPortName=Lyra App", "AdAppPortDetect=0x1"};
        lines.insert(lines.end(), extra.begin(), extra.end());
        return section("Lyra", model, "USB", "USB\\VID_1234&PID_0001", driverCap, lines, family);
    }

    // The library up with the database of `lines` (or the shipped one) and no card present.
    void initialiseWith(const std::vector<std::string>& lines) {
        ASSERT_EQ(initialise(lines), 0u) << log.dump();
        registerCallback();
    }
    void initialiseShipped() {
        databaseText() = std::string(detection::shippedCardDatabase());
        module().text = databaseText();
        ASSERT_EQ(NwInitialize(&module()), 0u) << log.dump();
        registerCallback();
    }

    // Publishes the card's devices and lets the library react until the card has started;
    // true when it did.
    bool arrives(const platform::DeviceGroup& group) {
        publish(group);
        return pumpUntil([&] { return isStarted(); }, kCompletionWaitMs);
    }
    // Lets the library react for a few polling periods; true when the card is still starting.
    bool staysStarting() {
        pumpFor(kWatchMs);
        return info().state == CardStateStarting;
    }
    // Unplugs the card and waits until the library has stopped it.
    void unplug() {
        tree->removeGroup("card");
        ASSERT_TRUE(pumpUntil([&] { return info().state == CardStateStopped; })) << log.dump();
    }
    bool isStarted() const { return info().state == CardStateStarted; }

    const NwCardInfo& info() const { return detection::currentCard().info; }
    static std::string text(const char16_t* field) {
        return detection::utf8FromUtf16(detection::textOf(field, NW_TEXT_LENGTH));
    }
    uint32_t driverCap() const { return info().driverCap; }
};

// The USB device interface every USB card announces, by which a card without ports arrives.
void announceUsbDevice(platform::DeviceGroup& group) {
    for (auto& node : group.nodes)
        if (node.id == "card")
            node.interfaces.push_back({kUsbInterface, "\\\\?\\USB#" + node.instanceId});
}

TEST_F(SubdeviceCompletion, NonMultiplexingCardTakesItsModemsPort) {
    initialiseWith(lyraSection("0x300", "0x80"));
    ASSERT_TRUE(arrives(lyra())) << log.dump();
    EXPECT_TRUE(notified(CardStateStarted, NwReasonDeviceChange));
    EXPECT_TRUE(log.has("Nw: polling timer event")) << "its methods are polling";
    EXPECT_EQ(text(info().modemName), "Lyra Modem");
    EXPECT_EQ(text(info().portName), "\\\\.\\lyra0");
    EXPECT_EQ(detection::currentCard().modemNode, node("modem"));
    EXPECT_TRUE(detection::currentCard().finalPortOpened);
    EXPECT_TRUE(log.has("Nw: Final port could be opened successfully"));
    EXPECT_EQ(info().driverVersionMs, 0x00020001u);
    EXPECT_EQ(info().driverVersionLs, 0x00000007u);
    EXPECT_TRUE(log.has("Nw: Driver version: 2.1.0.7"));
    EXPECT_TRUE(log.has("Nw: Bus device name could not be determined, skipping its detection"));
}

TEST_F(SubdeviceCompletion, MultiplexingCardTakesTheApplicationPortNotTheModemsPort) {
    initialiseWith(lyraSection("0x300", "0x81"));
    ASSERT_TRUE(arrives(lyra(false))) << log.dump();
    EXPECT_EQ(text(info().modemName), "Lyra Modem") << "the modem's PortName is not needed";
    EXPECT_FALSE(log.mentions("Could not find \"PortName\""));
    EXPECT_EQ(text(info().portName), "\\\\.\\lyra1");
    EXPECT_EQ(detection::currentCard().appPortNode, node("app"));
    EXPECT_TRUE(
        log.mentions("Nw: Corresponding application port found on \\\\.\\lyra1 with devnode"));
}

TEST_F(SubdeviceCompletion, PortHeldByAnotherProgramCountsAsPresent) {
    auto group = lyra();
    group.deviceNames["lyra1"].openResult = platform::DeviceTree::kAccessDenied;
    initialiseWith(lyraSection("0x300", "0x81"));
    EXPECT_TRUE(arrives(group)) << log.dump();
    EXPECT_TRUE(
        log.has("Nw: Final port is kept open by another application, supposing card is o.k."));
}

TEST_F(SubdeviceCompletion, PortThatDoesNotOpenIsTriedAgainLater) {
    auto group = lyra();
    group.deviceNames["lyra1"].openResult = platform::DeviceTree::kNotFound;
    initialiseWith(lyraSection("0x300", "0x81"));
    EXPECT_FALSE(arrives(group));
    EXPECT_TRUE(log.has("Nw: Final port could not be opened (err=0x2)!")) << log.dump();
    EXPECT_EQ(info().state, uint32_t(CardStateStarting));
    group.deviceNames["lyra1"].openResult = 0;
    log.clear();
    EXPECT_TRUE(arrives(group)) << log.dump();
    EXPECT_FALSE(log.mentions("Searching for modem")) << "a known modem is not searched again";
    EXPECT_FALSE(log.mentions("Searching for port")) << "a known port is not searched again";
}

TEST_F(SubdeviceCompletion, ModemWithoutNamesNeverCompletes) {
    initialiseWith(section("Nameless", "0x300", "USB", "USB\\VID_1234&PID_0001", "0x80",
                           {"AdModemDetect=0x1"}));
    publish(lyra());
    EXPECT_TRUE(staysStarting());
    EXPECT_GE(log.count("Nw: polling timer event"), 3) << "checked again and again";
    EXPECT_TRUE(log.has("Nw: Searching for modem [<NULL>] with parent 0x" +
                        [&] {
                            char hex[16];
                            std::snprintf(hex, sizeof hex, "%x", node("card"));
                            return std::string(hex);
                        }()))
        << log.dump();
}

TEST_F(SubdeviceCompletion, NothingHappensUnlessTheCardIsStarting) {
    // The guard itself, asked directly: the state machine only ever checks a known card while
    // it starts (stopping forgets the card), so no event reaches this case.
    initialiseWith(lyraSection("0x300", "0x80"));
    publish(lyra());
    ASSERT_EQ(detection::DetectAnyCard(), 1);
    ASSERT_EQ(info().state, uint32_t(CardStateStopped));
    EXPECT_EQ(detection::CheckSubdevices(detection::kEverySubdeviceStep, NwReasonDeviceChange), 0);
    EXPECT_FALSE(log.mentions("Searching for modem"));
    EXPECT_EQ(info().state, uint32_t(CardStateStopped));
}

TEST_F(SubdeviceCompletion, LaterStepsWaitForTheModem) {
    auto group = lyra();
    group.nodes.erase(group.nodes.begin() + 1);
    adapterNode(group, "nic", "card", "USB\\VID_1234&PID_0001&MI_04\\1", "Lyra Net", "{N}");
    initialiseWith(lyraSection("0x300", "0x83", {"WwanNicName=Lyra Net", "AdDbgPortDetect=0x1"}));
    publish(group);
    EXPECT_TRUE(staysStarting());
    EXPECT_TRUE(log.has("Nw: Modem not found!")) << log.dump();
    EXPECT_FALSE(log.mentions("Searching for network adapter"));
    EXPECT_FALSE(log.mentions("Searching for port"));
}

TEST_F(SubdeviceCompletion, AbsentSmartCardReaderLosesItsFlagOnce) {
    initialiseWith(lyraSection("0x600", "0x89", {"SmartCardReader=Lyra Reader"}));
    ASSERT_TRUE(arrives(lyra())) << log.dump();
    pumpFor(kWatchMs);
    EXPECT_EQ(driverCap() & CardDriverCapabilitiesSmartCardReader, 0u);
    EXPECT_TRUE(log.has("Nw: No smart card reader is detected even though it is exposed from the "
                        "hw - ignoring it..."));
    EXPECT_EQ(log.count("Smart card reader not found!"), 1);
}

TEST_F(SubdeviceCompletion, PresentSmartCardReaderIsFound) {
    auto group = lyra();
    auto& reader = group.add("reader", "card");
    reader.instanceId = "USB\\VID_1234&PID_0001&MI_03\\1";
    reader.classGuid = platform::kClassSmartCardReader;
    reader.deviceDesc = "Lyra Reader";
    initialiseWith(lyraSection("0x600", "0x89", {"SmartCardReader=Lyra Reader"}));
    ASSERT_TRUE(arrives(group)) << log.dump();
    EXPECT_EQ(text(info().smartCardReaderName), "Lyra Reader");
    EXPECT_EQ(detection::currentCard().smartCardReaderNode, node("reader"));
    EXPECT_NE(driverCap() & CardDriverCapabilitiesSmartCardReader, 0u);
}

TEST_F(SubdeviceCompletion, SmartCardChildIsCheckedAfterThePortOpens) {
    // Model 0x800 checks for the reader's child: "&MI_03" in family 3, "_SC\" otherwise.
    initialiseWith(lyraSection("0x800", "0x89", {"SmartCardReader=Lyra Reader"}, "3"));
    ASSERT_TRUE(arrives(lyra())) << log.dump();
    EXPECT_TRUE(log.has("Nw: This card has NO smart card reader device"));
    EXPECT_EQ(driverCap() & CardDriverCapabilitiesSmartCardReader, 0u);
    EXPECT_FALSE(log.mentions("Searching for smart card reader"));

    unplug();
    auto group = lyra();
    auto& reader = group.add("reader", "card");
    reader.instanceId = "USB\\VID_1234&PID_0001&MI_03\\1";
    reader.classGuid = platform::kClassSmartCardReader;
    reader.deviceDesc = "Lyra Reader";
    ASSERT_TRUE(arrives(group)) << log.dump();
    EXPECT_TRUE(log.has("Nw: This card has a smart card reader device"));
    EXPECT_EQ(text(info().smartCardReaderName), "Lyra Reader");
}

class WwanCompletion : public SubdeviceCompletion {
protected:
    platform::DeviceGroup withAdapter() {
        auto group = lyra();
        adapterNode(group, "nic", "card", "USB\\VID_1234&PID_0001&MI_04\\1", "Lyra Net",
                    "{AAAA-1111}");
        return group;
    }
    void run(const platform::DeviceGroup& group, const std::string& model,
             const std::string& family) {
        initialiseWith(lyraSection(model, "0x87",
                                   {"WwanNicName=Lyra Net", "AdWwanNdisPortName=\\\\.\\LMNDIS%d",
                                    "AdWwanNdisPortDetect=0x1"},
                                   family));
        ASSERT_TRUE(arrives(group)) << log.dump();
        EXPECT_EQ(text(info().wwanNicName), "Lyra Net");
        EXPECT_EQ(text(info().netCfgInstanceId), "{AAAA-1111}");
        EXPECT_EQ(detection::currentCard().wwanNicNode, node("nic"));
    }
};

TEST_F(WwanCompletion, NdisDeviceIsTheOneReportingTheAdaptersId) {
    auto group = withAdapter();
    group.deviceNames["LMNDIS0"] = {0, u"{BBBB-2222}"};
    group.deviceNames["LMNDIS1"] = {0, u"{AAAA-1111}"};
    run(group, "0x700", "5");
    EXPECT_EQ(text(info().wwanNdisPortName), "\\\\.\\LMNDIS1");
    EXPECT_TRUE(log.has("Nw: Corresponding WWAN NDIS port found under \\\\.\\LMNDIS1"));
    EXPECT_NE(driverCap() & CardDriverCapabilitiesWwanNdisPort, 0u);
}

TEST_F(WwanCompletion, NdisDeviceWithoutAnIdStopsTheSearchAtIndex0) {
    auto group = withAdapter();
    group.deviceNames["LMNDIS0"] = {0, u""};
    group.deviceNames["LMNDIS1"] = {0, u"{AAAA-1111}"};
    run(group, "0x700", "6");
    EXPECT_EQ(text(info().wwanNdisPortName), "\\\\.\\LMNDIS0");
    EXPECT_TRUE(log.has("Nw: LMNDISx NetCfgInstanceId could not be queried (rc=0x1), old driver? "
                        "Assuming \\\\.\\LMNDIS0 as WWAN NDIS port name."));
}

TEST_F(WwanCompletion, MissingNdisDeviceRemovesTheFlag) {
    auto group = withAdapter();
    group.deviceNames["LMNDIS0"] = {0, u"{CCCC-3333}"};
    run(group, "0x700", "7");
    EXPECT_EQ(driverCap() & CardDriverCapabilitiesWwanNdisPort, 0u);
    EXPECT_TRUE(log.has("Nw: WWAN NDIS port name could not be detected, removing "
                        "CardDriverCapabilitiesWwanNdisPort flag..."));
}

TEST_F(WwanCompletion, NdisDeviceIsSearchedOnlyForItsFamiliesAndNewerModels) {
    auto group = withAdapter();
    group.deviceNames["LMNDIS0"] = {0, u"{AAAA-1111}"};
    run(group, "0x700", "4");
    EXPECT_EQ(info().wwanNdisPortName[0], u'\0');
    EXPECT_NE(driverCap() & CardDriverCapabilitiesWwanNdisPort, 0u);
    EXPECT_FALSE(log.mentions("NDIS port"));
}

TEST_F(WwanCompletion, OtherVendorsNdisDeviceIsTakenWithoutAskingIt) {
    auto group = withAdapter();
    group.deviceNames["LMNDIS0"] = {platform::DeviceTree::kNotFound, u""};
    group.deviceNames["LMNDIS1"] = {0, u""};
    run(group, "0x8100", "0");
    EXPECT_EQ(text(info().wwanNdisPortName), "\\\\.\\LMNDIS1");
    EXPECT_FALSE(log.mentions("could not be queried"));
}

TEST_F(WwanCompletion, MobileBroadbandDriverWaitsForItsInterface) {
    auto group = withAdapter();
    group.nodes.back().driverVersion = (uint64_t(5) << 48) | (uint64_t(1) << 32) | 0x100;
    group.deviceNames["LMNDIS0"] = {0, u"{AAAA-1111}"};
    initialiseWith(lyraSection(
        "0x700", "0xA7",
        {"WwanNicName=Lyra Net", "AdWwanNdisPortName=\\\\.\\LMNDIS%d", "AdWwanNdisPortDetect=0x1"},
        "5"));
    EXPECT_FALSE(arrives(group));
    EXPECT_TRUE(log.has("Nw: MB API capable device found but no corresponding API device present "
                        "yet, waiting..."))
        << log.dump();
    std::u16string asked;
    detection::setMobileBroadbandLookup([&](const std::u16string& id) {
        asked = id;
        return true;
    });
    EXPECT_TRUE(pumpUntil([&] { return isStarted(); }, kCompletionWaitMs)) << log.dump();
    EXPECT_EQ(asked, u"{AAAA-1111}");
    EXPECT_TRUE(log.has("Nw: MB API capable device found"));
    EXPECT_TRUE(log.has("Nw: Removed persistent APN flag for MB API capable device"));
    EXPECT_NE(driverCap() & CardDriverCapabilitiesMbApi, 0u);
    EXPECT_EQ(driverCap() & CardDriverCapabilitiesPersistentApn, 0u);
}

TEST_F(WwanCompletion, MobileBroadbandCheckIsOnlyForWindows7) {
    auto group = withAdapter();
    group.nodes.back().driverVersion = (uint64_t(5) << 48) | (uint64_t(1) << 32);
    poseAs(detection::kOsTypeVista);
    initialiseWith(lyraSection("0x700", "0x83", {"WwanNicName=Lyra Net"}));
    EXPECT_TRUE(arrives(group)) << log.dump();
    EXPECT_FALSE(log.mentions("MB API"));
}

// Discovery of a composite card's functions from its children.
class Discovery : public DetectionTest {
protected:
    // The card with direct children of the given ids (and each child's class).
    void discover(const std::string& model, const std::string& driverCap,
                  const std::vector<std::pair<std::string, std::string>>& children,
                  const std::string& stackType = "2") {
        platform::DeviceGroup group;
        usbDevice(group, "card", "", "USB\\VID_1234&PID_0001\\1", {"USB\\VID_1234&PID_0001"});
        int index = 0;
        for (const auto& [id, classGuid] : children) {
            auto& child = usbDevice(group, "child" + std::to_string(index++), "card", id, {});
            child.classGuid = classGuid;
        }
        publish(group);
        auto lines = section(
            "Composite", model, "USB", "USB\\VID_1234&PID_0001", driverCap,
            {"WwanNicName=Net", "AdWwanNdisPortName=\\\\.\\LMNDIS%d", "AdWwanNdisPortDetect=0x1"});
        lines[4] = "StackType=" + stackType;
        load(lines);
        ASSERT_EQ(detection::DetectAnyCard(), 1);
        log.clear();
        detection::DetectAllSubdevices();
    }
    bool flag(uint32_t bit) const { return (info().driverCap & bit) != 0; }
};

TEST_F(Discovery, FunctionChildrenDecideModemAndAdapter) {
    discover("0x1C00", "0x87", {{"BUS\\VID_1234&PID_0001_FF_SER\\1", ""}});
    EXPECT_TRUE(log.has("Nw: This card has a modem device and has NO WWAN NIC device"));
    EXPECT_TRUE(flag(CardDriverCapabilitiesModem));
    EXPECT_FALSE(flag(CardDriverCapabilitiesWwanNic));
    EXPECT_FALSE(flag(CardDriverCapabilitiesWwanNdisPort));

    discover("0x1C00", "0x0", {{"BUS\\VID_1234&PID_0001_FF\\1", ""}});
    EXPECT_TRUE(log.has("Nw: This card has a modem device and has a WWAN NIC device"));
    EXPECT_TRUE(flag(CardDriverCapabilitiesModem | CardDriverCapabilitiesWwanNic |
                     CardDriverCapabilitiesWwanNdisPort | kFlag10));

    discover("0x1C00", "0x90", {{"BUS\\VID_1234&PID_0001_FF_NET\\1", ""}}, "1");
    EXPECT_TRUE(log.has("Nw: This card has NO modem device and has a WWAN NIC device"));
    EXPECT_FALSE(flag(CardDriverCapabilitiesModem));
    EXPECT_FALSE(flag(kFlag10)) << "flag 0x10 needs stack type 2";

    discover("0x1C00", "0x97", {{"BUS\\OTHER\\1", ""}});
    EXPECT_TRUE(log.has("Nw: This card has NO modem device and has NO WWAN NIC device"));
    EXPECT_FALSE(flag(CardDriverCapabilitiesModem | CardDriverCapabilitiesWwanNic | kFlag10));
}

TEST_F(Discovery, ApplicationPortChildrenSetThePortFlags) {
    discover("0x1C00", "0x0",
             {{"BUS\\VID_1234&PID_0001_APP\\1", ""}, {"BUS\\VID_1234&PID_0001_APL\\1", ""}});
    EXPECT_TRUE(flag(CardDriverCapabilitiesPrimaryAppPort));
    EXPECT_TRUE(flag(CardDriverCapabilitiesSecondaryAppPort));
    EXPECT_TRUE(log.has("Nw: This card has a primary application port"));
    EXPECT_TRUE(log.has("Nw: This card has a secondary application port"));

    discover("0x1C00", "0x0", {{"BUS\\VID_1234&PID_0001_FF\\1", ""}});
    EXPECT_FALSE(flag(CardDriverCapabilitiesPrimaryAppPort));
    EXPECT_TRUE(log.has("Nw: This card has NO primary application port"));
    EXPECT_TRUE(log.has("Nw: This card has NO secondary application port"));

    discover("0xA01", "0x0", {{"BUS\\VID_1234&PID_0001_APP\\1", ""}});
    EXPECT_FALSE(flag(CardDriverCapabilitiesPrimaryAppPort)) << "below 0xB00 and not 0x901";
    EXPECT_FALSE(log.mentions("application port"));
}

TEST_F(Discovery, BusDriver72NamingUsesModemAndNetChildren) {
    discover(
        "0x1900", "0x200",
        {{"LM72UBUS\\VID_1234&PID_0001_MDM\\1", ""}, {"LM72UBUS\\VID_1234&PID_0001_NET\\1", ""}});
    EXPECT_TRUE(flag(CardDriverCapabilitiesModem | CardDriverCapabilitiesWwanNic |
                     CardDriverCapabilitiesWwanNdisPort));
    EXPECT_FALSE(flag(kFlag10)) << "not for 72Bus cards";

    discover(
        "0x1800", "0x0",
        {{"LM72UBUS\\VID_1234&PID_0001_MDM\\1", ""}, {"LM72UBUS\\VID_1234&PID_0001_NET\\1", ""}});
    EXPECT_TRUE(flag(CardDriverCapabilitiesModem | CardDriverCapabilitiesWwanNic));
    EXPECT_FALSE(flag(CardDriverCapabilitiesWwanNdisPort | kFlag10)) << "0x1800 drops them";

    discover("0x2301", "0x200", {{"LM72UBUS\\VID_1234&PID_0001_NET\\1", ""}});
    EXPECT_FALSE(flag(CardDriverCapabilitiesWwanNic)) << "0x2301 never has an adapter";
}

TEST_F(Discovery, FirstInterfaceClassDecidesFor0x900) {
    discover("0x900", "0x0", {{"USB\\VID_1234&PID_0001&MI_00\\1", platform::kClassModem}});
    EXPECT_TRUE(flag(CardDriverCapabilitiesModem));
    EXPECT_FALSE(flag(CardDriverCapabilitiesWwanNic));
    discover("0x900", "0x0", {{"USB\\VID_1234&PID_0001&MI_00\\1", platform::kClassNet}});
    EXPECT_FALSE(flag(CardDriverCapabilitiesModem));
    EXPECT_TRUE(flag(CardDriverCapabilitiesWwanNic | kFlag10));
    discover("0xA00", "0x0", {{"USB\\VID_1234&PID_0001&MI_00\\1", platform::kClassMultifunction}});
    EXPECT_TRUE(flag(CardDriverCapabilitiesModem | CardDriverCapabilitiesWwanNic));
    discover("0x900", "0x0", {{"USB\\VID_1234&PID_0001&MI_01\\1", platform::kClassNet}});
    EXPECT_TRUE(flag(CardDriverCapabilitiesModem | CardDriverCapabilitiesWwanNic));
    EXPECT_TRUE(log.mentions("assuming both a modem and a WWAN NIC device"));
}

TEST_F(SubdeviceCompletion, DiscoveryWaitsUntilTheChildrenAreReady) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_1234&PID_0001\\1", {"USB\\VID_1234&PID_0001"});
    usbDevice(group, "ff", "card", "BUS\\VID_1234&PID_0001_FF\\1", {}).status =
        platform::kNodeDriverLoaded;
    announceUsbDevice(group);
    initialiseWith(section("Composite", "0x1C00", "USB", "USB\\VID_1234&PID_0001", "0x0"));
    publish(group);
    EXPECT_TRUE(staysStarting()) << log.dump();
    EXPECT_TRUE(log.has("Nw: DetectionEvent is DetEvUsbIfArrived"));
    EXPECT_FALSE(detection::currentCard().subdevicesReady);
    EXPECT_FALSE(log.mentions("This card has"));
    EXPECT_FALSE(detection::currentCard().subdevicesScanned);
}

TEST_F(SubdeviceCompletion, DeviceNameMethodProbesThePatterns) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_7E2B&PID_0084\\1", {"USB\\VID_7E2B&PID_0084"});
    usbDevice(group, "control", "card", "USB\\VID_7E2B&PID_0084&MI_01\\1", {});
    group.deviceNames["OXCTRL2"] = {};
    group.deviceNames["OXCTRL3"] = {};
    announceUsbDevice(group);
    initialiseShipped();
    ASSERT_TRUE(arrives(group)) << log.dump();
    EXPECT_EQ(detection::currentCard().methods.appPort, 3u);
    EXPECT_EQ(text(info().portName), "\\\\.\\OXCTRL2");
    EXPECT_EQ(detection::currentCard().appPortNode, 0u);
}

TEST(DeviceNames, DeviceNamePatternsNeverActAsFormats) {
    EXPECT_EQ(detection::formatDeviceName("\\\\.\\LMNDIS%d", 7), "\\\\.\\LMNDIS7");
    EXPECT_EQ(detection::formatDeviceName("%s%n%d%d%%", 3), "%s%n3%d%");
    EXPECT_EQ(detection::formatDeviceName("plain", 1), "plain");
    EXPECT_EQ(detection::formatDeviceName("end%", 1), "end%");
}

// The QT0880 of the shipped database as its driver brings it up, one node after another, each
// with the interface it announces.
class Qt0880 : public SubdeviceCompletion {
protected:
    platform::DeviceGroup stage(int count) {
        platform::DeviceGroup group;
        auto& card = usbDevice(group, "card", "", "USB\\VID_1234&PID_5678\\0001",
                               {"USB\\VID_1234&PID_5678&REV_0100", "USB\\VID_1234&PID_5678"});
        card.hardwareKey["SymbolicName"] = {true, "\\??\\USB#VID_1234&PID_5678#0001#{a5dc}"};
        card.interfaces.push_back({kUsbInterface, "\\\\?\\USB#VID_1234&PID_5678#0001#{a5dc}"});
        if (count >= 1) {
            auto& ff = usbDevice(group, "ff", "card", "LMUHSBUS\\VID_1234&PID_5678_FF\\7&1&0", {});
            ff.classGuid = platform::kClassMultifunction;
        }
        if (count >= 2)
            portNode(group, "app", "card", "LMUHSBUS\\VID_1234&PID_5678_APP\\7&1&1",
                     "Velmar Application Interface (qt1)", "qt1")
                .interfaces.push_back({kComPortInterface, "\\\\?\\qt1"});
        if (count >= 3)
            portNode(group, "dbg", "card", "LMUHSBUS\\VID_1234&PID_5678_DBG\\7&1&2",
                     "Velmar Diagnostics Interface (qt2)", "qt2")
                .interfaces.push_back({kComPortInterface, "\\\\?\\qt2"});
        if (count >= 4)
            portNode(group, "modem", "ff", "LMUHSBUS\\VID_1234&PID_5678_FF_SER\\8&1&0",
                     "Velmar QT0880 Modem", "qt0", platform::kClassModem)
                .interfaces.push_back({kModemInterface, "\\\\?\\qt0-modem"});
        if (count >= 5) {
            auto& nic = adapterNode(group, "nic", "ff", "LMUHSBUS\\VID_1234&PID_5678_FF_NET\\8&1&1",
                                    "Velmar QT0880 Network Adapter #2", "{7E1A-0880}");
            nic.driverVersion = (uint64_t(3) << 48) | (uint64_t(2) << 32) | (uint64_t(1) << 16);
            nic.interfaces.push_back({kNetworkInterface, "\\\\?\\qt0880-net"});
        }
        group.deviceNames["qt1"] = {};
        group.deviceNames["lmuhsbus0"] = {};
        group.deviceNames["LMNDIS0"] = {0, u"{7E1A-0880}"};
        return group;
    }
};

TEST_F(Qt0880, CompletesWhenItsLastFunctionArrives) {
    initialiseShipped();
    publish(stage(0));
    EXPECT_TRUE(staysStarting()) << "no children yet\n" << log.dump();
    EXPECT_EQ(info().model, 0x1C00u);
    for (int count = 1; count <= 4; ++count) {
        publish(stage(count));
        EXPECT_TRUE(staysStarting()) << "stage " << count << "\n" << log.dump();
    }
    EXPECT_EQ(text(info().modemName), "Velmar QT0880 Modem");
    EXPECT_EQ(info().state, uint32_t(CardStateStarting)) << "the adapter is still missing";

    // The adapter's network arrival is in the ports' masks: it completes the card.
    ASSERT_TRUE(arrives(stage(5))) << log.dump();
    EXPECT_TRUE(log.has("Nw: DetectionEvent is DetEvNetworkDevIfArrived"));
    EXPECT_EQ(text(info().portName), "\\\\.\\qt1");
    EXPECT_EQ(text(info().dbgPortName), "\\\\.\\qt2");
    EXPECT_EQ(text(info().wwanNicName), "Velmar QT0880 Network Adapter #2");
    EXPECT_EQ(text(info().netCfgInstanceId), "{7E1A-0880}");
    EXPECT_EQ(text(info().wwanNdisPortName), "\\\\.\\LMNDIS0");
    EXPECT_EQ(text(info().busDeviceName), "\\\\.\\lmuhsbus0");
    EXPECT_EQ(text(info().deviceInstanceId), "USB\\VID_1234&PID_5678\\0001");
    EXPECT_EQ(info().driverVersionMs, 0x00030002u);
    EXPECT_EQ(info().driverVersionLs, 0x00010000u);
    EXPECT_EQ(info().driverCap & CardDriverCapabilitiesSecondaryAppPort, 0u);
    EXPECT_NE(info().driverCap & CardDriverCapabilitiesPrimaryAppPort, 0u);
    EXPECT_EQ(log.count("Nw: This card has a modem device and has a WWAN NIC device"), 1)
        << "discovery runs once per card";
    EXPECT_TRUE(log.has("Nw: This card has NO smart card reader device"));
}

TEST_F(Qt0880, BusDeviceIsProbedByIndexAndAccessDeniedCounts) {
    initialiseShipped();
    auto group = stage(5);
    group.deviceNames.erase("lmuhsbus0");
    group.deviceNames["lmuhsbus3"] = {platform::DeviceTree::kAccessDenied, u""};
    ASSERT_TRUE(arrives(group)) << log.dump();
    EXPECT_EQ(text(info().busDeviceName), "\\\\.\\lmuhsbus3");
    EXPECT_TRUE(log.has("Nw: Bus device found but could not be opened"));
    EXPECT_TRUE(log.has("Nw: Bus device found (\\\\.\\lmuhsbus3)"));

    unplug();
    group.deviceNames.erase("lmuhsbus3");
    ASSERT_TRUE(arrives(group)) << log.dump();
    EXPECT_TRUE(log.has("Nw: Bus device is not found with mask [\\\\.\\lmuhsbus%d]"));
}

} // namespace
