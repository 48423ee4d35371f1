#include "platform/DeviceTree.h"
#include "platform/DeviceTreeFile.h"
#include "platform/DeviceTreeInMemory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using platform::DeviceGroup;
using platform::DeviceTree;
using platform::DeviceTreeChange;
using platform::InMemoryDeviceTree;

using Kind = DeviceTreeChange::Kind;

constexpr const char* kUsbInterfaceClass = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

DeviceGroup card() {
    DeviceGroup group;
    auto& root = group.add("card");
    root.instanceId = "USB\\VID_1234&PID_5678\\0001";
    root.hardwareIds = {"USB\\VID_1234&PID_5678&REV_0001", "USB\\VID_1234&PID_5678"};
    root.deviceDesc = "Composite device";
    root.hardwareKey["SymbolicName"] = {true, "\\??\\USB#VID_1234&PID_5678#0001#{a5dc}"};
    root.hardwareKey["Count"] = {false, ""};
    root.interfaces.push_back({kUsbInterfaceClass, "\\\\?\\USB#VID_1234&PID_5678#0001"});
    auto& app = group.add("app", "card");
    app.instanceId = "USB\\VID_1234&PID_5678&MI_02\\6&1&0&0002";
    app.classGuid = platform::kClassPorts;
    app.friendlyName = "Application Interface (pts/7)";
    app.hardwareKey["PortName"] = {true, "pts/7"};
    app.driverVersion = 0x0002000100000007ull;
    group.deviceNames["lmuhsbus0"] = {};
    group.deviceNames["LMNDIS0"] = {0, u"{ABCD}"};
    group.deviceNames["locked0"] = {DeviceTree::kAccessDenied, u""};
    return group;
}

struct Recorder {
    std::vector<DeviceTreeChange> changes;
    platform::DeviceTreeListener listener() {
        return [this](const DeviceTreeChange& change) { changes.push_back(change); };
    }
    std::vector<Kind> kinds() const {
        std::vector<Kind> out;
        for (const auto& change : changes)
            out.push_back(change.kind);
        return out;
    }
};

// The card's group "a" beside a second group "b" with a PC card: queries answer from both.
class TwoGroups : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tree.setGroup("a", card()));
        DeviceGroup other;
        other.add("pc").instanceId = "PCMCIA\\MAKER-1\\1";
        ASSERT_TRUE(tree.setGroup("b", other));
        cardNode = tree.node("a", "card");
        appNode = tree.node("a", "app");
        pcNode = tree.node("b", "pc");
        ASSERT_NE(cardNode, 0u);
    }

    InMemoryDeviceTree tree;
    platform::DevNode cardNode = 0;
    platform::DevNode appNode = 0;
    platform::DevNode pcNode = 0;
    std::vector<platform::DevNode> nodes;
    std::string text;
};

TEST_F(TwoGroups, EnumeratorAndClassQueriesAnswerFromTheUnionOfGroups) {
    EXPECT_EQ(tree.node("a", "missing"), 0u);
    EXPECT_EQ(tree.devicesOfEnumerator("usb", nodes), 0u);
    EXPECT_EQ(nodes, (std::vector<platform::DevNode>{cardNode, appNode}))
        << "the enumerator comes from the instance id";
    EXPECT_EQ(tree.devicesOfEnumerator("PCMCIA", nodes), 0u);
    EXPECT_EQ(nodes, std::vector<platform::DevNode>{pcNode});
    EXPECT_EQ(tree.devicesOfClass("{4d36e978-e325-11ce-bfc1-08002be10318}", nodes), 0u);
    EXPECT_EQ(nodes, std::vector<platform::DevNode>{appNode});
}

TEST_F(TwoGroups, ParentsAndChildrenFollowTheGroupsUnderOneRoot) {
    platform::DevNode parent = 0;
    EXPECT_EQ(tree.parent(appNode, parent), 0u);
    EXPECT_EQ(parent, cardNode);
    EXPECT_EQ(tree.parent(cardNode, parent), 0u);
    EXPECT_EQ(parent, InMemoryDeviceTree::kRootNode);
    EXPECT_EQ(tree.parent(InMemoryDeviceTree::kRootNode, parent), DeviceTree::kNoSuchDevNode);
    EXPECT_EQ(tree.children(cardNode, nodes), 0u);
    EXPECT_EQ(nodes, std::vector<platform::DevNode>{appNode});
    EXPECT_EQ(tree.children(appNode, nodes), DeviceTree::kNoSuchDevNode);
    EXPECT_TRUE(nodes.empty());
    EXPECT_EQ(tree.children(InMemoryDeviceTree::kRootNode, nodes), 0u);
    EXPECT_EQ(nodes, (std::vector<platform::DevNode>{cardNode, pcNode}));
}

TEST_F(TwoGroups, PropertiesAndStatusOfANode) {
    std::vector<std::string> ids;
    EXPECT_EQ(tree.hardwareIds(cardNode, ids), 0u);
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(tree.hardwareIds(appNode, ids), DeviceTree::kInvalidData);
    EXPECT_EQ(tree.textProperty(appNode, platform::TextProperty::FriendlyName, text), 0u);
    EXPECT_EQ(text, "Application Interface (pts/7)");
    EXPECT_EQ(tree.textProperty(cardNode, platform::TextProperty::FriendlyName, text),
              DeviceTree::kInvalidData);
    uint32_t status = 0;
    uint32_t problem = 7;
    EXPECT_EQ(tree.status(appNode, status, problem), 0u);
    EXPECT_EQ(status, platform::kNodeDriverLoaded | platform::kNodeStarted);
    EXPECT_EQ(problem, 0u);
    EXPECT_EQ(tree.status(0x999, status, problem), DeviceTree::kNoSuchDevNode);
}

TEST_F(TwoGroups, RegistryValuesSayWhyTheyAreMissing) {
    EXPECT_EQ(tree.registryValue(appNode, platform::RegistryKey::Hardware, "PortName", text), 0u);
    EXPECT_EQ(text, "pts/7");
    EXPECT_EQ(tree.registryValue(cardNode, platform::RegistryKey::Hardware, "Count", text),
              DeviceTree::kInvalidData);
    EXPECT_EQ(tree.registryValue(cardNode, platform::RegistryKey::Driver, "PortName", text),
              DeviceTree::kNotFound);
    EXPECT_EQ(tree.registryValue(0x999, platform::RegistryKey::Hardware, "PortName", text),
              DeviceTree::kInvalidHandle);
}

TEST_F(TwoGroups, ClassAndDriverVersionAreFoundByInstanceIdInAnyCase) {
    EXPECT_EQ(tree.enumClassGuid("usb\\vid_1234&pid_5678&mi_02\\6&1&0&0002", text), 0u);
    EXPECT_EQ(text, platform::kClassPorts);
    EXPECT_EQ(tree.enumClassGuid("USB\\VID_1234&PID_5678\\0001", text), DeviceTree::kNotFound);
    uint64_t version = 0;
    EXPECT_EQ(tree.driverVersion("USB\\VID_1234&PID_5678&MI_02\\6&1&0&0002", version), 0u);
    EXPECT_EQ(version, 0x0002000100000007ull);
    EXPECT_EQ(tree.driverVersion("USB\\VID_1234&PID_5678\\0001", version), DeviceTree::kNotFound)
        << "an empty driver list";
}

TEST(DeviceTreeInMemory, NodesKeepTheirNumbersWhilePresent) {
    InMemoryDeviceTree tree;
    ASSERT_TRUE(tree.setGroup("a", card()));
    const auto cardNode = tree.node("a", "card");
    const auto appNode = tree.node("a", "app");
    auto grown = card();
    grown.add("dbg", "card").instanceId = "USB\\VID_1234&PID_5678&MI_03\\1";
    ASSERT_TRUE(tree.setGroup("a", grown));
    EXPECT_EQ(tree.node("a", "card"), cardNode);
    EXPECT_EQ(tree.node("a", "app"), appNode);
    EXPECT_NE(tree.node("a", "dbg"), 0u);
    tree.removeGroup("a");
    EXPECT_EQ(tree.node("a", "card"), 0u);
    ASSERT_TRUE(tree.setGroup("a", card()));
    EXPECT_NE(tree.node("a", "card"), cardNode) << "a replugged node is a new node";
    uint32_t status = 0;
    uint32_t problem = 0;
    EXPECT_EQ(tree.status(cardNode, status, problem), DeviceTree::kNoSuchDevNode);
}

TEST(DeviceTreeInMemory, BrokenGroupsAreRefused) {
    InMemoryDeviceTree tree;
    std::string problem;
    DeviceGroup twice;
    twice.add("a");
    twice.add("a");
    EXPECT_FALSE(tree.setGroup("g", twice, &problem));
    EXPECT_NE(problem.find("used twice"), std::string::npos);
    DeviceGroup orphan;
    orphan.add("a", "nobody");
    EXPECT_FALSE(tree.setGroup("g", orphan, &problem));
    EXPECT_NE(problem.find("unknown parent"), std::string::npos);
    DeviceGroup cycle;
    cycle.add("a", "c");
    cycle.add("b", "a");
    cycle.add("c", "b");
    EXPECT_FALSE(tree.setGroup("g", cycle, &problem));
    EXPECT_NE(problem.find("cycle"), std::string::npos);
    DeviceGroup self;
    self.add("a", "a");
    EXPECT_FALSE(tree.setGroup("g", self, &problem));
    DeviceGroup nameless;
    nameless.add("");
    EXPECT_FALSE(tree.setGroup("g", nameless, &problem));
    EXPECT_TRUE(tree.groupNames().empty());
}

TEST(DeviceTreeInMemory, ChangesNotifyAsTheListenersAsked) {
    InMemoryDeviceTree tree;
    Recorder everything;
    Recorder portsOnly;
    tree.subscribe({{kUsbInterfaceClass}, true, true}, everything.listener());
    const auto portsId = tree.subscribe({{}, true, false}, portsOnly.listener());

    ASSERT_TRUE(tree.setGroup("a", card()));
    ASSERT_EQ(everything.kinds(),
              (std::vector<Kind>{Kind::InterfaceArrival, Kind::PortArrival, Kind::NodesChanged}));
    EXPECT_EQ(everything.changes[0].interfaceClass, kUsbInterfaceClass);
    EXPECT_EQ(everything.changes[0].name, "\\\\?\\USB#VID_1234&PID_5678#0001");
    EXPECT_EQ(everything.changes[1].name, "pts/7");
    EXPECT_EQ(portsOnly.kinds(), std::vector<Kind>{Kind::PortArrival});

    // The port moves: its removal comes before the new arrival.
    auto moved = card();
    moved.nodes[1].hardwareKey["PortName"] = {true, "pts/9"};
    everything.changes.clear();
    ASSERT_TRUE(tree.setGroup("a", moved));
    ASSERT_EQ(everything.kinds(),
              (std::vector<Kind>{Kind::PortRemoval, Kind::PortArrival, Kind::NodesChanged}));
    EXPECT_EQ(everything.changes[0].name, "pts/7");
    EXPECT_EQ(everything.changes[1].name, "pts/9");

    tree.unsubscribe(portsId);
    everything.changes.clear();
    portsOnly.changes.clear();
    tree.removeGroup("a");
    EXPECT_EQ(everything.kinds(),
              (std::vector<Kind>{Kind::InterfaceRemoval, Kind::PortRemoval, Kind::NodesChanged}));
    EXPECT_TRUE(portsOnly.changes.empty());
    tree.removeGroup("a");
    EXPECT_EQ(everything.changes.size(), 3u) << "removing nothing changes nothing";
}

TEST(DeviceTreeInMemory, InterfacesOfOtherClassesAreNotDelivered) {
    InMemoryDeviceTree tree;
    Recorder modems;
    tree.subscribe({{"{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}"}, false, false}, modems.listener());
    ASSERT_TRUE(tree.setGroup("a", card()));
    EXPECT_TRUE(modems.changes.empty());
}

TEST(DeviceTreeInMemory, PublishedDeviceNamesOpenAndAnswerTheAdapterRequest) {
    InMemoryDeviceTree tree;
    ASSERT_TRUE(tree.setGroup("a", card()));
    EXPECT_EQ(tree.probeDevice("\\\\.\\lmuhsbus0", platform::OpenMode::Query), 0u);
    EXPECT_EQ(tree.probeDevice("\\\\.\\LMUHSBUS0", platform::OpenMode::Query), 0u);
    EXPECT_EQ(tree.probeDevice("\\\\.\\locked0", platform::OpenMode::Exclusive),
              DeviceTree::kAccessDenied);
    EXPECT_EQ(tree.probeDevice("\\\\.\\lmuhsbus1", platform::OpenMode::Query),
              DeviceTree::kNotFound);

    char16_t answer[48] = {};
    size_t returned = 0;
    EXPECT_EQ(tree.controlDevice("\\\\.\\LMNDIS0", platform::kRequestAdapterId, answer,
                                 sizeof answer, returned),
              0u);
    EXPECT_EQ(returned, 7 * sizeof(char16_t)) << "six units and the terminator";
    EXPECT_EQ(std::u16string(answer), u"{ABCD}");
    EXPECT_EQ(
        tree.controlDevice("\\\\.\\LMNDIS0", platform::kRequestAdapterId, answer, 4, returned), 0u);
    EXPECT_EQ(returned, 4u) << "cut to the buffer";
    EXPECT_EQ(tree.controlDevice("\\\\.\\LMNDIS0", 0x1234, answer, sizeof answer, returned),
              DeviceTree::kInvalidFunction);
    EXPECT_EQ(tree.controlDevice("\\\\.\\lmuhsbus0", platform::kRequestAdapterId, answer,
                                 sizeof answer, returned),
              DeviceTree::kInvalidFunction);
    EXPECT_EQ(returned, 0u);
}

TEST(DeviceTreeInMemory, OtherDeviceNamesOpenOnTheFileSystem) {
    InMemoryDeviceTree tree;
    EXPECT_EQ(tree.probeDevice("\\\\.\\null", platform::OpenMode::Exclusive), 0u);
    EXPECT_EQ(tree.probeDevice("/dev/null", platform::OpenMode::Query), 0u);
    EXPECT_EQ(tree.probeDevice("\\\\.\\kestrel-no-such-device", platform::OpenMode::Query),
              DeviceTree::kNotFound);
    EXPECT_EQ(tree.probeDevice("", platform::OpenMode::Query), DeviceTree::kNotFound);

    char path[] = "/tmp/kestrel-port-XXXXXX";
    const int held = mkstemp(path);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(tree.probeDevice(path, platform::OpenMode::Exclusive), DeviceTree::kAccessDenied)
        << "a port another program holds";
    EXPECT_EQ(tree.probeDevice(path, platform::OpenMode::Query), 0u);
    close(held);
    EXPECT_EQ(tree.probeDevice(path, platform::OpenMode::Exclusive), 0u);
    unlink(path);
}

TEST(DeviceTreeFile, DesignExampleParses) {
    const std::string text = R"json({
      "nodes": [
        { "id": "card", "parent": null, "enumerator": "USB",
          "instanceId": "USB\\VID_1234&PID_5678\\0001",
          "hardwareIds": ["USB\\VID_1234&PID_5678&REV_0001", "USB\\VID_1234&PID_5678"],
          "classGuid": "{36FC9E60-C465-11CF-8056-444553540000}",
          "friendlyName": "", "deviceDesc": "Composite device",
          "status": { "driverLoaded": true, "started": true, "needToEnum": false,
                      "hasProblem": false, "problem": 0, "willBeRemoved": false },
          "hardwareKey": { "SymbolicName": "\\??\\USB#VID_1234&PID_5678#0001#{a5dc}" },
          "driverKey": {}, "driverVersion": "2.1.0.7",
          "interfaces": [ { "classGuid": "{A5DCBF10-6530-11D2-901F-00C04FB951ED}",
                            "name": "\\\\?\\USB#VID_1234&PID_5678#0001" } ] },
        { "id": "app", "parent": "card",
          "instanceId": "USB\\VID_1234&PID_5678&MI_02\\6&1234&0&0002",
          "status": { "hasProblem": true, "problem": 28 },
          "hardwareKey": { "PortName": "pts/7", "Number": 3 } }
      ],
      "deviceNames": { "lmuhsbus0": { "open": "ok" },
                       "LMNDIS0": { "open": "accessDenied", "netCfgInstanceId": "{X}" } },
      "mbInterfaces": []
    })json";
    DeviceGroup group;
    std::string problem;
    ASSERT_TRUE(platform::parseDeviceFile(text, group, problem)) << problem;
    ASSERT_EQ(group.nodes.size(), 2u);
    const auto& cardNode = group.nodes[0];
    EXPECT_EQ(cardNode.hardwareIds.size(), 2u);
    EXPECT_EQ(cardNode.driverVersion.value_or(0), 0x0002000100000007ull);
    EXPECT_EQ(cardNode.interfaces.size(), 1u);
    EXPECT_EQ(cardNode.hardwareKey.at("SymbolicName").text,
              "\\??\\USB#VID_1234&PID_5678#0001#{a5dc}");
    const auto& app = group.nodes[1];
    EXPECT_EQ(app.parent, "card");
    EXPECT_TRUE(app.enumerator.empty());
    EXPECT_EQ(app.status,
              platform::kNodeDriverLoaded | platform::kNodeStarted | platform::kNodeHasProblem)
        << "missing status members keep their neutral value";
    EXPECT_EQ(app.problem, 28u);
    EXPECT_FALSE(app.hardwareKey.at("Number").isString);
    EXPECT_FALSE(app.driverVersion);
    EXPECT_EQ(group.deviceNames.at("LMNDIS0").openResult, DeviceTree::kAccessDenied);
    EXPECT_EQ(group.deviceNames.at("LMNDIS0").adapterId, u"{X}");
}

TEST(DeviceTreeFile, MalformedFilesSayWhatIsWrong) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"nodes\": [", "not valid JSON"},
        {"[]", "not a JSON object"},
        {"{\"nodes\": {}}", "\"nodes\" is not a list"},
        {"{\"nodes\": [{\"parent\": null}]}", "has no \"id\""},
        {"{\"nodes\": [{\"id\": 5}]}", "has no \"id\""},
        {"{\"nodes\": [{\"id\": \"a\", \"hardwareIds\": \"x\"}]}", "\"hardwareIds\" is not a list"},
        {"{\"nodes\": [{\"id\": \"a\", \"hardwareIds\": [1]}]}", "other than texts"},
        {"{\"nodes\": [{\"id\": \"a\", \"status\": {\"started\": 1}}]}", "not true or false"},
        {"{\"nodes\": [{\"id\": \"a\", \"status\": {\"problem\": -1}}]}", "\"problem\""},
        {"{\"nodes\": [{\"id\": \"a\", \"driverVersion\": \"1.2.3\"}]}", "a.b.c.d"},
        {"{\"nodes\": [{\"id\": \"a\", \"driverVersion\": \"1.2.3.70000\"}]}", "a.b.c.d"},
        {"{\"nodes\": [{\"id\": \"a\", \"friendlyName\": []}]}", "is not a text"},
        {"{\"nodes\": [{\"id\": \"a\", \"parent\": \"b\"}]}", "unknown parent"},
        {"{\"deviceNames\": {\"x\": {\"open\": \"maybe\"}}}", "\"open\""},
        {"{\"deviceNames\": []}", "\"deviceNames\" is not an object"},
    };
    for (const auto& [text, expected] : cases) {
        DeviceGroup group;
        std::string problem;
        EXPECT_FALSE(platform::parseDeviceFile(text, group, problem)) << text;
        EXPECT_NE(problem.find(expected), std::string::npos) << text << " -> " << problem;
    }
    DeviceGroup group;
    std::string problem;
    EXPECT_TRUE(platform::parseDeviceFile("{}", group, problem)) << "an empty machine";
    EXPECT_TRUE(group.nodes.empty());
}

TEST(DeviceTreeFile, DriverVersionsHaveFourParts) {
    uint64_t version = 0;
    EXPECT_TRUE(platform::parseDriverVersion("65535.0.1.2", version));
    EXPECT_EQ(version, 0xFFFF000000010002ull);
    for (const char* bad : {"", "1", "1.2.3.4.5", "a.b.c.d", "1..2.3", "-1.0.0.0", "1.2.3.4 "})
        EXPECT_FALSE(platform::parseDriverVersion(bad, version)) << bad;
}

TEST(DeviceTreeProcess, InstalledTreeReplacesTheDefault) {
    auto tree = std::make_shared<InMemoryDeviceTree>();
    const auto previous = platform::installDeviceTree(tree);
    EXPECT_EQ(platform::deviceTree(), tree);
    platform::installDeviceTree(previous);
    EXPECT_NE(platform::deviceTree(), tree);
}

} // namespace
