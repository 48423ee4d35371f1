#include "tests/support/DetectionTestSupport.h"

#include "detection/CardDetection.h"
#include "detection/DeviceEnumeration.h"

#include <gtest/gtest.h>

namespace {

using namespace detectiontest;

class CardDetection : public DetectionTest {
protected:
    // A USB card and a PC card, in the order given.
    void loadTwoBuses(bool usbFirst) {
        const auto usb = section("Usb card", "0x300", "USB", "USB\\VID_1234&PID_0001", "0x80",
                                 {"AdModemName=Usb Modem", "AdModemDetect=0x1"});
        const auto pcCard = section("Pc card", "0x600", "PCMCIA", "PCMCIA\\MAKER-PC1", "0x80",
                                    {"AdModemName=Pc Modem", "AdModemDetect=0x1"});
        load(usbFirst ? concat({usb, pcCard}) : concat({pcCard, usb}));
    }
    void publishTwoBuses() {
        platform::DeviceGroup group;
        usbDevice(group, "usb", "", "USB\\VID_1234&PID_0001\\1", {"USB\\VID_1234&PID_0001"});
        auto& pc = group.add("pc");
        pc.enumerator = "PCMCIA";
        pc.instanceId = "PCMCIA\\MAKER-PC1\\1";
        pc.hardwareIds = {"PCMCIA\\MAKER-PC1"};
        publish(group);
    }
};

TEST_F(CardDetection, DatabaseOrderWinsOverTheBus) {
    publishTwoBuses();
    loadTwoBuses(true);
    ASSERT_EQ(detection::DetectAnyCard(), 1);
    EXPECT_EQ(info().devNode, node("usb"));
    EXPECT_EQ(info().model, 0x300u);

    detection::ResetCardInfo();
    loadTwoBuses(false);
    ASSERT_EQ(detection::DetectAnyCard(), 1);
    EXPECT_EQ(info().devNode, node("pc"));
    EXPECT_EQ(info().model, 0x600u);
}

TEST_F(CardDetection, EveryBusIsSearchedEachTime) {
    publishTwoBuses();
    loadTwoBuses(false);
    detection::FoundCard found;
    ASSERT_TRUE(detection::FindCard(found));
    EXPECT_TRUE(
        log.has("Nw: Found PCMCIA device with hardware ID [PCMCIA\\MAKER-PC1], checking it..."));
    EXPECT_TRUE(
        log.has("Nw: Found USB device with hardware ID [USB\\VID_1234&PID_0001], checking it..."));
    EXPECT_EQ(found.cardIndex, 0);
}

TEST_F(CardDetection, NtMatchesUsbIdsExactlyWhile98AndPciMatchByPrefix) {
    platform::DeviceGroup group;
    usbDevice(group, "usb", "", "USB\\VID_1234&PID_5678&REV_0001\\1",
              {"usb\\vid_1234&pid_5678&rev_0001"});
    auto& pci = group.add("pci");
    pci.enumerator = "PCI";
    pci.instanceId = "PCI\\VEN_1234&DEV_0005&SUBSYS_1\\3&1";
    pci.hardwareIds = {"PCI\\VEN_1234&DEV_0005&SUBSYS_1"};
    publish(group);
    auto sections = [](const std::string& prefix) {
        auto usb = section("Usb", "0x300", "USB", "USB\\VID_1234&PID_5678", "0x0");
        auto pciCard = section("Pci", "0x800", "PCI", "PCI\\VEN_1234&DEV_0005", "0x0");
        for (auto* lines : {&usb, &pciCard})
            for (auto& line : *lines)
                if (line.compare(0, 2, "Ad") == 0)
                    line = prefix + line.substr(2);
        return concat({usb, pciCard});
    };

    load(sections("Ad"));
    detection::FoundCard found;
    EXPECT_FALSE(detection::HaveCard(detection::kBusUsb, found)) << "exact on Windows 7";
    ASSERT_TRUE(detection::HaveCard(detection::kBusPci, found));
    EXPECT_EQ(found.cardIndex, 1);
    EXPECT_EQ(found.devNode, node("pci"));

    poseAs(detection::kOsType98);
    load(sections("Ga"));
    ASSERT_TRUE(detection::HaveCard(detection::kBusUsb, found)) << "prefix on Windows 98";
    EXPECT_EQ(found.cardIndex, 0);
    EXPECT_EQ(found.hardwareId, "usb\\vid_1234&pid_5678&rev_0001");
}

TEST_F(CardDetection, UnsupportedAndOtherBusRecordsNeverMatch) {
    platform::DeviceGroup group;
    usbDevice(group, "usb", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    publish(group);
    auto unsupported = section("Unsupported", "0x100", "USB", "USB\\VID_1", "0x0");
    unsupported[1] = "Supported=0";
    load(concat({unsupported, section("Pci", "0x100", "PCI", "USB\\VID_1", "0x0"),
                 section("Empty items", "0x100", "USB", ",,", "0x0")}));
    EXPECT_EQ(detection::DetectAnyCard(), 0);
}

TEST_F(CardDetection, NodeWithAProblemIsNoCardAndTheNextDeviceIsTried) {
    platform::DeviceGroup group;
    auto& broken = usbDevice(group, "broken", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    broken.status |= platform::kNodeHasProblem;
    broken.problem = 10;
    usbDevice(group, "good", "", "USB\\VID_1\\2", {"USB\\VID_1"});
    publish(group);
    load(section("Card", "0x300", "USB", "USB\\VID_1", "0x0"));
    ASSERT_EQ(detection::DetectAnyCard(), 1);
    EXPECT_EQ(info().devNode, node("good"));
    EXPECT_TRUE(log.mentions("problem# is 10 (inactive)"));
}

// A backend that answers a device without hardware ids with an empty list instead of an error.
class EmptyIdListTree : public platform::InMemoryDeviceTree {
public:
    uint32_t hardwareIds(platform::DevNode node, std::vector<std::string>& ids) override {
        const uint32_t error = InMemoryDeviceTree::hardwareIds(node, ids);
        if (error != kInvalidData)
            return error;
        ids.clear();
        return 0;
    }
};

TEST_F(CardDetection, DeviceWithAnEmptyHardwareIdListIsPassedOver) {
    const auto emptyIds = std::make_shared<EmptyIdListTree>();
    platform::DeviceGroup group;
    usbDevice(group, "bare", "", "USB\\VID_1\\1", {});
    usbDevice(group, "card", "", "USB\\VID_1\\2", {"USB\\VID_1"});
    ASSERT_TRUE(emptyIds->setGroup("card", group));
    platform::installDeviceTree(emptyIds);
    load(section("Card", "0x300", "USB", "USB\\VID_1", "0x0"));
    ASSERT_EQ(detection::DetectAnyCard(), 1) << log.dump();
    EXPECT_EQ(info().devNode, emptyIds->node("card", "card"));
    EXPECT_TRUE(log.has("Nw: Found USB device with hardware ID [], checking it..."));
}

TEST_F(CardDetection, DetectedCardFillsTheRecord) {
    platform::DeviceGroup group;
    auto& card = usbDevice(group, "card", "", "USB\\VID_1234&PID_0001\\0001",
                           {"USB\\VID_1234&PID_0001&REV_0100", "USB\\VID_1234&PID_0001"});
    card.hardwareKey["SymbolicName"] = {true, "\\??\\USB#VID_1234&PID_0001#0001#{a5dc}"};
    publish(group);
    load(section("Lyra", "0x300", "USB", "USB\\VID_1234&PID_0001", "0x229",
                 {"WwanNicName=Net", "AdModemName=Lyra Modem", "AdModemDetect=0x2,0x2",
                  "AdAppPortDetect=0x3", "AdDbgPortDetect=0x1"},
                 "2"));
    ASSERT_EQ(detection::DetectAnyCard(), 1);
    const auto& card0 = detection::currentCard();
    EXPECT_EQ(card0.cardIndex, 0);
    EXPECT_EQ(info().devNode, node("card"));
    EXPECT_EQ(text(info().deviceInstanceId), "USB\\VID_1234&PID_0001\\0001");
    EXPECT_EQ(detection::utf8FromUtf16(detection::textOf(card0.hardwareId)),
              "USB\\VID_1234&PID_0001&REV_0100");
    EXPECT_EQ(detection::utf8FromUtf16(detection::textOf(card0.symbolicName)),
              "\\\\?\\USB#VID_1234&PID_0001#0001#{a5dc}");
    EXPECT_EQ(info().model, 0x300u);
    EXPECT_EQ(info().family, 2);
    EXPECT_EQ(info().stackType, 2);
    // 0x8 goes: the section names no smart card reader.
    EXPECT_EQ(info().driverCap, 0x221u | CardDriverCapabilitiesPrimaryAppPort);
    EXPECT_EQ(info().state, uint32_t(CardStateStopped)) << "detection does not change the state";
    EXPECT_TRUE(card0.subdevicesReady);
    EXPECT_EQ(card0.methods.modem, 2u);
    EXPECT_EQ(card0.methods.modemMask, 2u);
    EXPECT_EQ(card0.methods.appPort, 3u);
    EXPECT_EQ(card0.methods.app2Port, 0u);
    EXPECT_EQ(card0.methods.dbgPort, 1u);

    const std::string separator = "Nw: " + std::string(102, '-');
    EXPECT_EQ(log.count(separator), 2);
    EXPECT_TRUE(log.has("Nw: Supported card Lyra detected with hardware ID "
                        "[USB\\VID_1234&PID_0001&REV_0100] & devnode 0x" +
                        [&] {
                            char hex[16];
                            std::snprintf(hex, sizeof hex, "%x", node("card"));
                            return std::string(hex);
                        }() +
                        " & symbolic name [\\??\\USB#VID_1234&PID_0001#0001#{a5dc}]"))
        << log.dump();
    EXPECT_TRUE(log.has("Nw: Modem detection method is set to ModemDetMethodDefaultEventBased, "
                        "insertion event mask=0x2"));
    EXPECT_TRUE(log.has("Nw: Application port detection method is set to "
                        "AppPortDetMethodBroadcomPolling"));
    EXPECT_TRUE(log.has("Nw: Application2 port detection is disabled"));
    EXPECT_TRUE(
        log.has("Nw: Debug port detection method is set to DbgPortDetMethodDefaultPolling"));
}

TEST_F(CardDetection, MissingSymbolicNameIsLoggedAndLeftEmpty) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    publish(group);
    load(section("Card", "0x300", "USB", "USB\\VID_1", "0x0"));
    ASSERT_EQ(detection::DetectAnyCard(), 1);
    EXPECT_TRUE(log.has("Nw: HaveCard(): Could not find \"SymbolicName\" regkey, rc=0x2"));
    EXPECT_TRUE(log.mentions("& symbolic name [<NULL>]"));
    EXPECT_EQ(detection::currentCard().symbolicName[0], u'\0');
}

TEST_F(CardDetection, PrimaryAppPortIsAddedExceptForDiscoveryAndOtherVendorModels) {
    struct Case {
        const char* model;
        bool added;
    };
    const Case cases[] = {{"0x300", true},   {"0x800", true},   {"0x801", false},  {"0x900", true},
                          {"0xA00", true},   {"0x1C00", false}, {"0x5FFF", false}, {"0x6000", true},
                          {"0x8400", false}, {"0x8401", false}, {"0x8402", true}};
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    publish(group);
    for (const auto& c : cases) {
        load(section("Card", c.model, "USB", "USB\\VID_1", "0x0"));
        detection::ResetCardInfo();
        ASSERT_EQ(detection::DetectAnyCard(), 1);
        EXPECT_EQ((info().driverCap & CardDriverCapabilitiesPrimaryAppPort) != 0, c.added)
            << c.model;
    }
}

TEST_F(CardDetection, ReplugNodeHidesFamily7CardsAndIsForgottenOtherwise) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_7\\1", {"USB\\VID_7"});
    publish(group);
    load(section("Seven", "0x2200", "USB", "USB\\VID_7", "0x0", {}, "7"));
    detection::currentCard().replugDevNode = 0x77;
    EXPECT_EQ(detection::DetectAnyCard(), 0);
    EXPECT_EQ(detection::currentCard().replugDevNode, 0x77u);
    EXPECT_TRUE(log.has("Nw: Supported card Seven is detected but it is ignored since it will be "
                        "replugged"));

    load(section("Four", "0x2200", "USB", "USB\\VID_7", "0x0", {}, "4"));
    EXPECT_EQ(detection::DetectAnyCard(), 1);
    EXPECT_EQ(detection::currentCard().replugDevNode, 0u);

    detection::currentCard().replugDevNode = 0x77;
    tree->removeGroup("card");
    EXPECT_EQ(detection::DetectAnyCard(), 0);
    EXPECT_EQ(detection::currentCard().replugDevNode, 0u) << "no card forgets the node";
}

TEST_F(CardDetection, ResetCardInfoKeepsOnlyTheStandbyFields) {
    auto& card = detection::currentCard();
    card.cardIndex = 3;
    card.info.model = 0x300;
    card.info.state = CardStateStarted;
    card.modemNode = 9;
    card.finalPortOpened = true;
    card.methods.modem = 2;
    card.info.portName[0] = u'X';
    card.replugDevNode = 0x55;
    card.wakingUp = true;
    detection::ResetCardInfo();
    EXPECT_EQ(card.cardIndex, -1);
    EXPECT_EQ(card.info.model, 0u);
    EXPECT_EQ(card.info.state, uint32_t(CardStateStopped));
    EXPECT_EQ(card.modemNode, 0u);
    EXPECT_FALSE(card.finalPortOpened);
    EXPECT_EQ(card.methods.modem, 0u);
    EXPECT_EQ(card.info.portName[0], u'\0');
    EXPECT_EQ(card.replugDevNode, 0x55u);
    EXPECT_TRUE(card.wakingUp);
}

TEST_F(CardDetection, NodeActivityFollowsStatusBits) {
    using namespace platform;
    struct Case {
        uint32_t status;
        bool allowReenumeration;
        uint32_t osType;
        bool active;
        const char* word;
    };
    const Case cases[] = {
        {kNodeDriverLoaded | kNodeStarted, true, 7, true, "active"},
        {kNodeDriverLoaded | kNodeStarted, false, 7, true, "active w/o reenum"},
        {kNodeStarted, true, 7, false, "inactive"},
        {kNodeDriverLoaded, true, 7, false, "inactive"},
        {kNodeDriverLoaded | kNodeStarted | kNodeHasProblem, true, 7, false, "inactive"},
        {kNodeDriverLoaded | kNodeStarted | kNodeWillBeRemoved, true, 7, false, "inactive"},
        {kNodeDriverLoaded | kNodeNeedToEnum, true, 7, false, "inactive"},
        {kNodeDriverLoaded | kNodeNeedToEnum, true, 2, true, "active"},
        {kNodeDriverLoaded | kNodeNeedToEnum, false, 2, false, "inactive w/o reenum"},
        {kNodeDriverLoaded | kNodeStarted | kNodeNeedToEnum, false, 7, false,
         "inactive w/o reenum"},
    };
    for (const auto& c : cases) {
        poseAs(c.osType);
        loadText("");
        platform::DeviceGroup group;
        usbDevice(group, "node", "", "USB\\N\\1", {"USB\\N"}).status = c.status;
        publish(group);
        log.clear();
        EXPECT_EQ(detection::IsDeviceNodeActive(node("node"), c.allowReenumeration), c.active)
            << std::hex << c.status;
        char expected[128];
        std::snprintf(expected, sizeof expected,
                      "Nw: DevNode 0x%x status is 0x%x, problem# is 0 (%s)", node("node"), c.status,
                      c.word);
        EXPECT_TRUE(log.has(expected)) << log.dump();
    }
    log.clear();
    EXPECT_FALSE(detection::IsDeviceNodeActive(0x999, true));
    EXPECT_TRUE(log.mentions("Nw: IsDeviceNodeActive(): CM_Get_DevNode_Status for devnode 0x999 "
                             "failed with 0x"));
}

TEST_F(CardDetection, ModemHangingBelowAnotherDeviceIsNotTheCardsModem) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    usbDevice(group, "other", "", "USB\\VID_2\\1", {"USB\\VID_2"});
    portNode(group, "foreign", "other", "USB\\VID_2&MI_00\\1", "Lyra Modem #1", "ttyA",
             platform::kClassModem);
    usbDevice(group, "l1", "card", "X\\1", {});
    usbDevice(group, "l2", "l1", "X\\2", {});
    usbDevice(group, "l3", "l2", "X\\3", {});
    portNode(group, "deep", "l3", "X\\4", "Lyra Modem #2", "ttyB", platform::kClassModem);
    publish(group);
    loadText("");
    const detection::OptionalText names = u"Lyra Modem";
    detection::FoundDevice modem;
    EXPECT_FALSE(detection::HaveModem(names, node("card"), true, modem));
    EXPECT_TRUE(log.has("Nw: Modem not found!"));
    EXPECT_TRUE(log.has("Nw: Checking modem #0 [Lyra Modem #1]"));

    // Three levels up is still below the card.
    group.nodes.back().parent = "l2";
    publish(group);
    ASSERT_TRUE(detection::HaveModem(names, node("card"), true, modem));
    EXPECT_EQ(modem.node, node("deep"));
    EXPECT_EQ(modem.name, "Lyra Modem #2");
    EXPECT_EQ(modem.portName, "\\\\.\\ttyB");
}

TEST_F(CardDetection, NamesMatchAsCaseSensitiveSubstringsCutTo64) {
    const std::string long64(64, 'a');
    EXPECT_TRUE(detection::NameListMatches(u16("Other," + long64 + "TAIL"), "x" + long64 + "y"));
    EXPECT_TRUE(detection::NameListMatches(u16("Modem,Port"), "My Port (COM3)"));
    EXPECT_FALSE(detection::NameListMatches(u16("modem"), "Lyra Modem"));
    EXPECT_FALSE(detection::NameListMatches(u16("A, B"), "B")) << "the blank belongs to the item";
    EXPECT_FALSE(detection::NameListMatches(u16(","), "anything"));
    EXPECT_FALSE(detection::NameListMatches(std::nullopt, "anything"));
}

TEST_F(CardDetection, EnumeratorsReportMissingNamesAndRegistryValues) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    portNode(group, "noPort", "card", "USB\\VID_1&MI_01\\1", "App Port", "");
    adapterNode(group, "nic", "card", "USB\\VID_1&MI_02\\1", "Net", "");
    publish(group);
    loadText("");
    detection::FoundDevice found;
    EXPECT_FALSE(detection::HavePort(std::nullopt, node("card"), found));
    EXPECT_TRUE(log.mentions("Nw: Searching for port [<NULL>] with parent 0x"));
    EXPECT_FALSE(detection::HavePort(u16("App Port"), node("card"), found));
    EXPECT_TRUE(log.has("Nw: HavePort(): Could not find \"PortName\" regkey, rc=0x2"));
    EXPECT_TRUE(log.has("Nw: Port not found!"));
    EXPECT_FALSE(detection::HaveNetAdapter(u16("Net"), node("card"), found));
    EXPECT_TRUE(
        log.has("Nw: HaveNetAdapter(): Could not find \"NetCfgInstanceId\" regkey, rc=0x2"));
    EXPECT_TRUE(log.has("Network adapter not found!"));
}

TEST_F(CardDetection, SmartCardReaderSearchChecksStateOnlyWhenAsked) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    auto& reader = group.add("reader", "card");
    reader.instanceId = "USB\\VID_1&MI_03\\1";
    reader.classGuid = platform::kClassSmartCardReader;
    reader.deviceDesc = "Lyra Reader";
    reader.status = platform::kNodeHasProblem;
    publish(group);
    loadText("");
    detection::FoundDevice found;
    EXPECT_FALSE(detection::HaveSmartCardReader(u16("Lyra Reader"), node("card"), true, found));
    EXPECT_TRUE(log.mentions("(with checking state)"));
    EXPECT_TRUE(log.has("Smart card reader not found!"));
    ASSERT_TRUE(detection::HaveSmartCardReader(u16("Lyra Reader"), node("card"), false, found));
    EXPECT_EQ(found.node, node("reader"));
    EXPECT_TRUE(log.mentions("(without checking state)"));
}

TEST_F(CardDetection, ChildSearchesWalkTheTree) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    usbDevice(group, "a", "card", "USB\\VID_1&MI_00\\A", {});
    usbDevice(group, "a1", "a", "VELMAR\\X_FF_NET\\1", {});
    usbDevice(group, "b", "card", "USB\\VID_1&MI_02_FF\\B", {}).classGuid = platform::kClassModem;
    usbDevice(group, "lonely", "", "USB\\LONELY\\1", {});
    publish(group);
    loadText("");
    const auto card = node("card");
    EXPECT_TRUE(detection::HasDescendantWithId(card, "_FF_NET", true)) << "grandchildren count";
    EXPECT_FALSE(detection::HasDescendantWithId(card, "_ff_net", true)) << "case-sensitive";
    EXPECT_FALSE(detection::HasDescendantWithId(node("lonely"), "X", true));
    EXPECT_TRUE(log.mentions("has no children at all (err 0x"));
    // Only direct children: the first child's id decides.
    EXPECT_EQ(detection::FindChildWithIds(card, "_FF_SER", "_FF_NET", "MI_0"), 3);
    EXPECT_EQ(detection::FindChildWithIds(card, "_FF_SER", "_FF_NET", "_FF"), 3);
    EXPECT_EQ(detection::FindChildWithIds(card, "MI_02", "MI_00", "_FF"), 2);
    EXPECT_EQ(detection::FindChildWithIds(card, "_FF_SER", "_FF_NET", "nothing"), 0);

    std::string classGuid;
    EXPECT_EQ(detection::QueryChildClassGuid(card, "MI_02", classGuid), 0u);
    EXPECT_EQ(classGuid, platform::kClassModem);
    EXPECT_EQ(detection::QueryChildClassGuid(card, "MI_00", classGuid), 2u) << "no ClassGUID";
    EXPECT_EQ(detection::QueryChildClassGuid(card, "MI_09", classGuid), 2u);
    EXPECT_EQ(detection::QueryChildClassGuid(card, "", classGuid), 87u);

    EXPECT_TRUE(detection::AreAllChildrenActive(card));
    EXPECT_TRUE(log.has("Nw: All subdevices are active"));
    EXPECT_FALSE(detection::AreAllChildrenActive(node("lonely")));
    group.nodes[3].status = platform::kNodeDriverLoaded;
    publish(group);
    EXPECT_FALSE(detection::AreAllChildrenActive(card));
}

TEST_F(CardDetection, SubdevicesReadyDependsOnTheModel) {
    platform::DeviceGroup group;
    usbDevice(group, "card", "", "USB\\VID_1\\1", {"USB\\VID_1"});
    usbDevice(group, "mi0", "card", "USB\\VID_1&MI_00\\1", {}).status = platform::kNodeDriverLoaded;
    publish(group);
    loadText("");
    const auto card = node("card");
    EXPECT_TRUE(detection::AreSubdevicesReady(card, 0x700));
    EXPECT_FALSE(detection::AreSubdevicesReady(card, 0x800)) << "a child is not started";
    EXPECT_FALSE(detection::AreSubdevicesReady(card, 0x8400));
    EXPECT_TRUE(detection::AreSubdevicesReady(card, 0x8000));
    EXPECT_FALSE(detection::AreSubdevicesReady(card, 0x900)) << "MI_00 has no class yet";
    group.nodes[1].classGuid = platform::kClassMultifunction;
    group.nodes[1].status = platform::kNodeDriverLoaded | platform::kNodeStarted;
    publish(group);
    EXPECT_TRUE(detection::AreSubdevicesReady(card, 0x900));
    EXPECT_TRUE(detection::AreSubdevicesReady(card, 0x1C00));
}

} // namespace
