#include "tests/support/UdevTestbed.h"
#include "UeventSocket.h"

#include "platform/Clock.h"
#include "platform/DeviceTree.h"
#include "platform/linux/LinuxDeviceTree.h"
#include "platform/linux/UdevSettledTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

using udevtest::Arrival;
using udevtest::UdevTestbed;
using Kind = platform::DeviceTreeChange::Kind;
namespace ueventsocket = udevtest::ueventsocket;

constexpr const char* kComPort = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
constexpr const char* kModem = "{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}";
constexpr const char* kUsbDevice = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
constexpr const char* kNetwork = "{AD498944-762F-11D0-8DCB-00C04FC3358C}";
constexpr const char* kCardPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr auto kEventWait = std::chrono::seconds(10);
// Short enough for the settle bound to pass quickly.
constexpr double kTimeScale = 0.1;

// The real backend on an emulated machine with its root hub.
class UdevDeviceTree : public ::testing::Test {
protected:
    void SetUp() override {
        platform::overrideTimeScale(kTimeScale);
        testbed.load("root-hub");
    }

    void open() {
        tree = std::make_shared<platform::LinuxDeviceTree>();
        ASSERT_TRUE(tree->monitoring());
        // Each event waits until the tree's monitor has read the one before (umockdev drops
        // the test when more than a few wait unread).
        sent = ueventsocket::received();
        testbed.setPacing([this] { ASSERT_TRUE(ueventsocket::waitBeyond(sent++)); });
        subscription = tree->subscribe({{kComPort, kModem, kUsbDevice, kNetwork}, true, true},
                                       [this](const platform::DeviceTreeChange& change) {
                                           std::lock_guard<std::mutex> guard(mutex);
                                           changes.push_back(change);
                                           changed.notify_all();
                                       });
    }
    void TearDown() override {
        testbed.setPacing(nullptr);
        if (tree)
            tree->unsubscribe(subscription);
        tree.reset();
        platform::overrideTimeScale(1.0);
    }

    bool seen(Kind kind, const std::string& name, const std::string& interfaceClass = "") {
        return std::any_of(changes.begin(), changes.end(), [&](const auto& change) {
            return change.kind == kind && change.interfaceClass == interfaceClass &&
                   (name.empty() || change.name.find(name) != std::string::npos);
        });
    }
    // Waits until a change like this has been delivered.
    bool waitFor(Kind kind, const std::string& name, const std::string& interfaceClass = "") {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kEventWait, [&] { return seen(kind, name, interfaceClass); });
    }
    // Waits until `wanted` changes of this kind have been delivered.
    bool waitForCount(Kind kind, size_t wanted) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kEventWait, [&] { return countLocked(kind) >= wanted; });
    }
    size_t countLocked(Kind kind) const {
        return std::count_if(changes.begin(), changes.end(),
                             [&](const auto& change) { return change.kind == kind; });
    }
    size_t count(Kind kind) {
        std::lock_guard<std::mutex> guard(mutex);
        return std::count_if(changes.begin(), changes.end(),
                             [&](const auto& change) { return change.kind == kind; });
    }

    // The present node whose first hardware id is this.
    platform::DevNode byHardwareId(const std::string& id) {
        std::vector<platform::DevNode> nodes;
        EXPECT_EQ(tree->devicesOfEnumerator("USB", nodes), 0u);
        for (auto node : nodes) {
            std::vector<std::string> ids;
            if (tree->hardwareIds(node, ids) == 0 && ids.front() == id)
                return node;
        }
        return 0;
    }
    std::string instance(platform::DevNode node) {
        std::string id;
        EXPECT_EQ(tree->instanceId(node, id), 0u);
        return id;
    }
    std::string text(platform::DevNode node, platform::TextProperty property) {
        std::string value;
        EXPECT_EQ(tree->textProperty(node, property, value), 0u);
        return value;
    }
    std::string value(platform::DevNode node, platform::RegistryKey key, const std::string& name) {
        std::string found;
        EXPECT_EQ(tree->registryValue(node, key, name, found), 0u) << name;
        return found;
    }
    uint32_t status(platform::DevNode node) {
        uint32_t bits = 0;
        uint32_t problem = 0;
        EXPECT_EQ(tree->status(node, bits, problem), 0u);
        return bits;
    }

    UdevTestbed testbed;
    std::shared_ptr<platform::LinuxDeviceTree> tree;
    size_t sent = 0;
    uint64_t subscription = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<platform::DeviceTreeChange> changes;
};

TEST_F(UdevDeviceTree, CardPresentAtStartIsOneNodePerDeviceAndClaimedInterface) {
    testbed.load("qt0880");
    testbed.writeSysFile("module/qmi_wwan/version", "1.2.3");
    open();

    const platform::DevNode card = byHardwareId("USB\\VID_1234&PID_5678&REV_0100");
    ASSERT_NE(card, 0u);
    std::vector<std::string> ids;
    ASSERT_EQ(tree->hardwareIds(card, ids), 0u);
    EXPECT_EQ(ids, (std::vector<std::string>{"USB\\VID_1234&PID_5678&REV_0100",
                                             "USB\\VID_1234&PID_5678"}));
    EXPECT_EQ(instance(card), "USB\\VID_1234&PID_5678\\1-1");
    EXPECT_EQ(value(card, platform::RegistryKey::Hardware, "SymbolicName"),
              "\\??\\USB#VID_1234&PID_5678#1-1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_EQ(status(card), platform::kNodeDriverLoaded | platform::kNodeStarted);

    // The root's child is the root hub, the card hangs off it.
    platform::DevNode hub = 0;
    ASSERT_EQ(tree->parent(card, hub), 0u);
    platform::DevNode root = 0;
    ASSERT_EQ(tree->parent(hub, root), 0u);
    std::vector<platform::DevNode> top;
    ASSERT_EQ(tree->children(root, top), 0u);
    EXPECT_EQ(top, std::vector<platform::DevNode>{hub});

    // Five claimed interfaces by interface number; the unclaimed mass-storage one is left out.
    std::vector<platform::DevNode> children;
    ASSERT_EQ(tree->children(card, children), 0u);
    ASSERT_EQ(children.size(), 5u);
    const std::vector<std::string> instances = {
        "USB\\VID_1234&PID_5678&MI_00_DBG\\1-1:1.0", "USB\\VID_1234&PID_5678&MI_01_FF\\1-1:1.1",
        "USB\\VID_1234&PID_5678&MI_02_APP\\1-1:1.2", "USB\\VID_1234&PID_5678&MI_03_APL\\1-1:1.3",
        "USB\\VID_1234&PID_5678&MI_04_FF_NET\\1-1:1.4"};
    for (size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(instance(children[i]), instances[i]);
        EXPECT_EQ(status(children[i]), platform::kNodeDriverLoaded | platform::kNodeStarted);
    }

    const platform::DevNode application = children[2];
    EXPECT_EQ(text(application, platform::TextProperty::FriendlyName),
              "Velmar Application Interface (ttyUSB2)");
    EXPECT_EQ(value(application, platform::RegistryKey::Hardware, "PortName"), "ttyUSB2");
    std::vector<platform::DevNode> modems;
    ASSERT_EQ(tree->devicesOfClass(platform::kClassModem, modems), 0u);
    EXPECT_EQ(modems, std::vector<platform::DevNode>{children[1]});

    const platform::DevNode adapter = children[4];
    EXPECT_EQ(text(adapter, platform::TextProperty::DeviceDescription),
              "Velmar QT0880 Network Adapter");
    EXPECT_EQ(value(adapter, platform::RegistryKey::Driver, "NetCfgInstanceId"), "wwan0");
    std::string classGuid;
    ASSERT_EQ(tree->enumClassGuid(instances[4], classGuid), 0u);
    EXPECT_EQ(classGuid, platform::kClassNet);

    // The driver version comes from the driver's module, and only from there.
    uint64_t version = 0;
    ASSERT_EQ(tree->driverVersion(instances[4], version), 0u);
    EXPECT_EQ(version, 0x0001000200030000u);
    EXPECT_EQ(tree->driverVersion(instances[2], version), platform::DeviceTree::kNotFound);
}

TEST_F(UdevDeviceTree, FunctionWithoutDriverAtStartShowsNotConfiguredUntilItsDriverBinds) {
    std::string text = UdevTestbed::treeText("qt0880");
    // Interface 2 without its driver: no DRIVER and no driver link.
    const std::string block = std::string(kCardPath).substr(4) + "/1-1:1.2\n";
    const size_t start = text.find(block);
    ASSERT_NE(start, std::string::npos);
    const size_t end = text.find("\n\n", start);
    std::string stanza = text.substr(start, end - start);
    for (const std::string line :
         {"E: DRIVER=option\n", "L: driver=../../../../../../bus/usb/drivers/option"})
        stanza.erase(stanza.find(line), line.size());
    text.replace(start, end - start, stanza);
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed.get(), text.c_str(), &error));
    open();

    // The card has not settled: it shows once the settle bound has passed.
    EXPECT_EQ(byHardwareId("USB\\VID_1234&PID_5678&REV_0100"), 0u);
    ASSERT_TRUE(waitFor(Kind::InterfaceArrival, "USB#VID_1234&PID_5678#1-1#", kUsbDevice));
    const platform::DevNode card = byHardwareId("USB\\VID_1234&PID_5678&REV_0100");
    std::vector<platform::DevNode> children;
    ASSERT_EQ(tree->children(card, children), 0u);
    ASSERT_EQ(children.size(), 5u);
    uint32_t bits = 0;
    uint32_t problem = 0;
    ASSERT_EQ(tree->status(children[2], bits, problem), 0u);
    EXPECT_EQ(bits, platform::kNodeHasProblem);
    EXPECT_EQ(problem, platform::kProblemNotConfigured);

    const std::string interface = std::string(kCardPath) + "/1-1:1.2";
    umockdev_testbed_set_attribute_link(testbed.get(), interface.c_str(), "driver",
                                        "../../../../../../bus/usb/drivers/option");
    umockdev_testbed_set_property(testbed.get(), interface.c_str(), "DRIVER", "option");
    testbed.uevent(interface, "bind");
    // The card settles with this bind and shows again at once.
    ASSERT_TRUE(waitForCount(Kind::NodesChanged, 2));
    EXPECT_EQ(status(children[2]), platform::kNodeDriverLoaded | platform::kNodeStarted);
}

// A card in the kernel's order of events, however its interfaces come.
struct OrderCase {
    const char* name;
    const char* tree;
    Arrival arrival;
    size_t functions;
};

void PrintTo(const OrderCase& order, std::ostream* out) {
    *out << order.name;
}

OrderCase withStorage() {
    return {"massStorageLast", "qt0880", {}, 5};
}
OrderCase withoutStorage() {
    OrderCase order{"networkLast", "qt0880", {}, 5};
    order.arrival.omitted = {"1-1:1.5"};
    return order;
}
OrderCase networkFirst() {
    OrderCase order{"networkFirst", "qt0880", {}, 5};
    order.arrival.omitted = {"1-1:1.5"};
    order.arrival.first = {"1-1:1.4"};
    return order;
}
OrderCase lateApplicationPort() {
    // The port's driver binds a second after the USB device's bind, within the settle bound.
    OrderCase order{"applicationPortBoundLate", "qt0880", {}, 5};
    order.arrival.omitted = {"1-1:1.5"};
    order.arrival.boundLate = {"1-1:1.2"};
    order.arrival.lateByMs = 1000;
    return order;
}
OrderCase d055() {
    return {"d055", "qt0880-d055", {}, 4};
}

class KernelOrder : public UdevDeviceTree, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(KernelOrder, CardIsShownOnceSettledAsOneCompleteChange) {
    const OrderCase& order = GetParam();
    open();
    testbed.plug(order.tree, 0, order.arrival);
    ASSERT_TRUE(waitFor(Kind::InterfaceArrival, "USB#VID_1234&PID_", kUsbDevice));
    ASSERT_TRUE(waitForCount(Kind::NodesChanged, 1));
    // Nothing of the card showed before it had settled, and it showed whole.
    EXPECT_EQ(count(Kind::NodesChanged), 1u);
    const platform::DevNode card =
        byHardwareId(order.tree == std::string("qt0880") ? "USB\\VID_1234&PID_5678&REV_0100"
                                                         : "USB\\VID_1234&PID_D055&REV_0100");
    ASSERT_NE(card, 0u);
    std::vector<platform::DevNode> children;
    ASSERT_EQ(tree->children(card, children), 0u);
    ASSERT_EQ(children.size(), order.functions);
    for (auto child : children)
        EXPECT_EQ(status(child), platform::kNodeDriverLoaded | platform::kNodeStarted)
            << instance(child);
    EXPECT_TRUE(seen(Kind::InterfaceArrival, "&MI_04#1-1:1.4#", kNetwork));
    EXPECT_TRUE(seen(Kind::InterfaceArrival, "&MI_01#1-1:1.1#", kModem));
    EXPECT_TRUE(seen(Kind::PortArrival, "ttyUSB2"));
}

INSTANTIATE_TEST_SUITE_P(UdevDeviceTree, KernelOrder,
                         ::testing::Values(withStorage(), withoutStorage(), networkFirst(),
                                           lateApplicationPort(), d055()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UdevDeviceTree, FunctionThatNeverBindsShowsNotStartedAfterTheSettleBound) {
    open();
    Arrival arrival;
    arrival.neverBound = {"1-1:1.2"};
    testbed.plug("qt0880", 0, arrival);
    const auto lastEvent = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor(Kind::InterfaceArrival, "USB#VID_1234&PID_5678#1-1#", kUsbDevice));
    EXPECT_GE(std::chrono::steady_clock::now() - lastEvent,
              platform::realDuration(platform::UdevSettledTree::settleBoundMs()));
    ASSERT_TRUE(waitForCount(Kind::NodesChanged, 1));
    EXPECT_EQ(count(Kind::NodesChanged), 1u);
    const platform::DevNode card = byHardwareId("USB\\VID_1234&PID_5678&REV_0100");
    std::vector<platform::DevNode> children;
    ASSERT_EQ(tree->children(card, children), 0u);
    ASSERT_EQ(children.size(), 5u);
    EXPECT_EQ(status(children[2]), platform::kNodeHasProblem);
    EXPECT_FALSE(seen(Kind::PortArrival, "ttyUSB2"));
    EXPECT_TRUE(seen(Kind::PortArrival, "ttyUSB3"));
}

TEST_F(UdevDeviceTree, DepartureIsShownAtTheCardsFirstRemoveOrUnbind) {
    open();
    testbed.plug("qt0880-d055");
    ASSERT_TRUE(waitFor(Kind::InterfaceArrival, "USB#VID_1234&PID_D055#1-1#", kUsbDevice));
    // The kernel's first event of the card's removal: the network interface's net device.
    testbed.uevent(std::string(kCardPath) + "/1-1:1.4/net/wwan0", "remove");
    ASSERT_TRUE(waitFor(Kind::InterfaceRemoval, "USB#VID_1234&PID_D055#1-1#", kUsbDevice));
    ASSERT_TRUE(waitForCount(Kind::NodesChanged, 2)); // the arrival's and the departure's
    EXPECT_EQ(count(Kind::PortRemoval), 3u);
    EXPECT_EQ(byHardwareId("USB\\VID_1234&PID_D055&REV_0100"), 0u);
}

TEST_F(UdevDeviceTree, UnbindOfOneFunctionTakesTheCardAwayUntilItSettlesAgain) {
    open();
    testbed.plug("qt0880-d055");
    ASSERT_TRUE(waitFor(Kind::InterfaceArrival, "USB#VID_1234&PID_D055#1-1#", kUsbDevice));
    const std::string interface = std::string(kCardPath) + "/1-1:1.2";
    testbed.uevent(interface, "unbind");
    ASSERT_TRUE(waitFor(Kind::InterfaceRemoval, "USB#VID_1234&PID_D055#1-1#", kUsbDevice));
    testbed.uevent(interface, "bind");
    ASSERT_TRUE(waitForCount(Kind::NodesChanged, 3));
    EXPECT_NE(byHardwareId("USB\\VID_1234&PID_D055&REV_0100"), 0u);
}

// Not in the thread-sanitizer stage: after the overrun the tree's monitor thread reads the whole
// emulated system again while this thread sends the card's next events, both through umockdev's
// preload, which keeps its fd-to-path translation in static buffers shared by all threads. At the
// race detector's pace the two overlap and the testbed's sender builds a wrong path ("umockdev:
// failed to map fd to a path", then "uevent_sender_send: No such device"); a kernel has no such
// limit, and every other stage runs the test.
TEST_F(UdevDeviceTree, EventsLostInTheMiddleOfAnArrivalAreReadAgainFromTheSystem) {
    open();
    Arrival arrival;
    // The application port's tty: the overrun loses it, the tree finds it on reading again.
    arrival.beforeEvent = [](size_t event) {
        if (event == 8)
            ueventsocket::overrunNext();
    };
    testbed.plug("qt0880", 0, arrival);
    ASSERT_TRUE(waitFor(Kind::PortArrival, "ttyUSB2"));
    // The last change of the card's showing: reading the system again showed nothing new
    // before the card had settled.
    ASSERT_TRUE(waitForCount(Kind::NodesChanged, 1));
    EXPECT_EQ(count(Kind::NodesChanged), 1u);
    const platform::DevNode card = byHardwareId("USB\\VID_1234&PID_5678&REV_0100");
    std::vector<platform::DevNode> children;
    ASSERT_EQ(tree->children(card, children), 0u);
    ASSERT_EQ(children.size(), 5u);
    for (auto child : children)
        EXPECT_EQ(status(child), platform::kNodeDriverLoaded | platform::kNodeStarted)
            << instance(child);
    EXPECT_EQ(count(Kind::PortArrival), 4u);
}

TEST_F(UdevDeviceTree, PlugAndUnplugSendTheInterfacesAndPortsAndNeverReuseNumbers) {
    open();
    testbed.plug("qt0880");
    ASSERT_TRUE(waitFor(Kind::InterfaceArrival, "#1-1:1.4#", kNetwork));
    ASSERT_TRUE(waitFor(Kind::PortArrival, "ttyUSB3"));
    EXPECT_TRUE(seen(Kind::InterfaceArrival, "USB#VID_1234&PID_5678#1-1#", kUsbDevice));
    EXPECT_TRUE(seen(Kind::InterfaceArrival, "&MI_01#1-1:1.1#", kModem));
    for (const char* port : {"ttyUSB0", "ttyUSB1", "ttyUSB2"})
        EXPECT_TRUE(seen(Kind::PortArrival, port)) << port;
    EXPECT_EQ(count(Kind::PortArrival), 4u);
    const platform::DevNode first = byHardwareId("USB\\VID_1234&PID_5678&REV_0100");
    ASSERT_NE(first, 0u);
    std::vector<platform::DevNode> children;
    ASSERT_EQ(tree->children(first, children), 0u);
    const platform::DevNode highest = *std::max_element(children.begin(), children.end());

    testbed.unplug("qt0880");
    ASSERT_TRUE(waitFor(Kind::InterfaceRemoval, "USB#VID_1234&PID_5678#1-1#", kUsbDevice));
    // The card left as one change, at its first event.
    ASSERT_TRUE(waitForCount(Kind::NodesChanged, 2));
    EXPECT_EQ(count(Kind::NodesChanged), 2u);
    EXPECT_EQ(count(Kind::PortRemoval), 4u);
    EXPECT_TRUE(seen(Kind::InterfaceRemoval, "&MI_04#1-1:1.4#", kNetwork));
    EXPECT_EQ(byHardwareId("USB\\VID_1234&PID_5678&REV_0100"), 0u);
    // The hub the card hung off stays.
    EXPECT_FALSE(seen(Kind::InterfaceRemoval, "USB#VID_1D6B&PID_0002#usb1#", kUsbDevice));
    EXPECT_NE(byHardwareId("USB\\VID_1D6B&PID_0002&REV_0601"), 0u);
    uint32_t bits = 0;
    uint32_t problem = 0;
    EXPECT_EQ(tree->status(first, bits, problem), platform::DeviceTree::kNoSuchDevNode);

    testbed.plug("qt0880", 4);
    ASSERT_TRUE(waitFor(Kind::PortArrival, "ttyUSB7"));
    const platform::DevNode again = byHardwareId("USB\\VID_1234&PID_5678&REV_0100");
    EXPECT_GT(again, highest);
}

TEST_F(UdevDeviceTree, DevicesOfOtherVendorsAreInTheTreeWithoutTheCardsNames) {
    testbed.load("foreign");
    open();
    const platform::DevNode receiver = byHardwareId("USB\\VID_046D&PID_C52B&REV_1211");
    ASSERT_NE(receiver, 0u);
    EXPECT_EQ(text(receiver, platform::TextProperty::DeviceDescription), "USB Receiver");
    std::vector<platform::DevNode> children;
    ASSERT_EQ(tree->children(receiver, children), 0u);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(text(children[0], platform::TextProperty::FriendlyName), "USB Serial Port (ttyUSB9)");
}

// What a recording keeps of a card's udev devices loads into another emulated machine, where
// the tree shows the same card: the same nodes, names, ports and states.
TEST_F(UdevDeviceTree, CardsOwnDescriptionPlugsInAgainAsTheSameCard) {
    testbed.load("qt0880");
    open();
    const std::string hardwareId = "USB\\VID_1234&PID_5678&REV_0100";
    const platform::DevNode card = byHardwareId(hardwareId);
    ASSERT_NE(card, 0u);
    const std::string description = tree->nativeDescription(card);
    EXPECT_EQ(description.rfind("P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n", 0), 0u)
        << description;
    for (const char* line : {"E: KESTREL_NAME=Velmar Application Interface", "N: ttyUSB2",
                             "A: idProduct=5678", "L: driver=../../../../../bus/usb/drivers/usb"})
        EXPECT_NE(description.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(description.find("P: /devices/pci0000:00/0000:00:14.0/usb1\n"), std::string::npos)
        << "the hub above the card is not the card's";
    const auto shown = [this, &hardwareId] {
        std::vector<std::string> nodes;
        const platform::DevNode device = byHardwareId(hardwareId);
        std::vector<platform::DevNode> children;
        EXPECT_EQ(tree->children(device, children), 0u);
        children.insert(children.begin(), device);
        for (const platform::DevNode node : children) {
            std::string name;
            tree->textProperty(node, platform::TextProperty::FriendlyName, name);
            nodes.push_back(instance(node) + " " + name + " " + std::to_string(status(node)));
        }
        return nodes;
    };
    const std::vector<std::string> before = shown();

    testbed.unplug("qt0880");
    ASSERT_TRUE(waitForCount(Kind::NodesChanged, 1));
    UdevTestbed::defineTree("described-qt0880", description);
    testbed.plug("described-qt0880", 4);
    ASSERT_TRUE(waitFor(Kind::PortArrival, "ttyUSB6"));
    std::vector<std::string> expected = before;
    for (std::string& node : expected) {
        for (const char* port : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}) {
            const size_t at = node.find(port);
            if (at != std::string::npos)
                node.replace(at, 7, "ttyUSB" + std::to_string(port[6] - '0' + 4));
        }
    }
    EXPECT_EQ(shown(), expected);
}

} // namespace
