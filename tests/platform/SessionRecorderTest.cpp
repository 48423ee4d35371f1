#include "platform/Clock.h"
#include "platform/DeviceTreeFile.h"
#include "platform/DeviceTreeInMemory.h"
#include "platform/PseudoTerminal.h"
#include "platform/RecordingPrivacy.h"
#include "platform/SerialDevice.h"
#include "platform/SessionRecorder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace platform;
using Json = nlohmann::json;

constexpr double kTestScale = 0.05;
const char* const kSerial = "A1B2C3";

// The card: a USB device with its serial number, and its AT port on `portName`; beside it a
// mouse of another vendor, which no recording of the card may carry.
DeviceGroup cardGroup(const std::string& portName) {
    DeviceGroup group;
    DeviceNodeDescription& card = group.add("card");
    card.instanceId = std::string("USB\\VID_1234&PID_5678\\") + kSerial;
    card.hardwareIds = {"USB\\VID_1234&PID_5678&REV_0001", "USB\\VID_1234&PID_5678"};
    card.deviceDesc = "Composite device";
    card.hardwareKey["SymbolicName"] = {true, std::string("\\??\\USB#VID_1234&PID_5678#") +
                                                  kSerial + "#{a5dcbf10}"};
    DeviceNodeDescription& port = group.add("app", "card");
    port.instanceId = "USB\\VID_1234&PID_5678&MI_02\\6&1234&0&0002";
    port.hardwareIds = {"USB\\VID_1234&PID_5678&MI_02"};
    port.classGuid = kClassPorts;
    port.friendlyName = "Velmar Application Interface (" + portName + ")";
    port.hardwareKey["PortName"] = {true, portName};
    return group;
}

DeviceGroup mouseGroup() {
    DeviceGroup group;
    DeviceNodeDescription& mouse = group.add("mouse");
    mouse.instanceId = "USB\\VID_046D&PID_C077\\5&2F0C&0&1";
    mouse.deviceDesc = "USB Input Device";
    return group;
}

class SessionRecorderOnACard : public ::testing::Test {
protected:
    void SetUp() override {
        overrideTimeScale(kTestScale);
        ASSERT_TRUE(terminal.open());
        tree->setGroup("mouse", mouseGroup());
        tree->setGroup("card", cardGroup(terminal.portName()));
        previous = installDeviceTree(tree);
    }
    void TearDown() override {
        installDeviceTree(previous);
        overrideTimeScale(1.0);
    }

    SerialHandle openPort() {
        const std::string name = terminal.portName();
        SerialHandle handle = serialOpen(L"\\\\.\\" + std::wstring(name.begin(), name.end()));
        EXPECT_NE(handle, nullptr);
        SerialTimeouts timeouts;
        timeouts.readIntervalMs = kSerialMaxTimeout;
        timeouts.readTotalConstantMs = 500;
        timeouts.writeTotalConstantMs = 500;
        serialSetTimeouts(handle, timeouts);
        return handle;
    }
    // Reads until `count` bytes have arrived, one read a piece as the card sent them.
    void readPieces(SerialHandle handle, size_t count) {
        size_t total = 0;
        for (int attempt = 0; attempt < 20 && total < count; ++attempt) {
            char buffer[256];
            uint32_t got = 0;
            ASSERT_TRUE(serialRead(handle, buffer, sizeof buffer, got));
            total += got;
        }
        ASSERT_EQ(total, count);
    }
    void answer(const std::string& bytes) { ASSERT_TRUE(terminal.writeAll(bytes)); }
    void waitForMasterInput(size_t count) {
        std::string input;
        while (input.size() < count && waitForInput({&terminal}, 500, nullptr) == 0) {
            char buffer[1024];
            const long got = terminal.readAvailable(buffer, sizeof buffer);
            if (got <= 0)
                break;
            input.append(buffer, static_cast<size_t>(got));
        }
        ASSERT_EQ(input.size(), count);
    }

    // The card's session: an IMEI query answered in two pieces, one download frame, a purge,
    // then the card leaving and coming back; the recording's text.
    std::string recordSession() {
        std::string text;
        playSession(text);
        return text;
    }
    void playSession(std::string& text) {
        SessionRecorder recorder("unused", "9.9.9");
        recorder.start();
        // The detection library listens for changes through the process's tree.
        const uint64_t subscription = deviceTree()->subscribe(NotificationFilter{}, [](auto&) {});

        SerialHandle handle = openPort();
        uint32_t written = 0;
        const std::string command = "AT+CGSN\r\n";
        ASSERT_TRUE(serialWrite(handle, command.data(), uint32_t(command.size()), written));
        waitForMasterInput(command.size());
        // The IMEI arrives split across two reads.
        answer("\r\n+CGSN: 3534901");
        readPieces(handle, 16);
        answer("23456789\r\nOK\r\n");
        readPieces(handle, 14);

        // A download frame: 0xAA 0x00, 100 bytes, then its XOR-16 0x3412.
        std::string frame = {char(0xAA), char(0x00)};
        frame += std::string(100, 'x');
        frame += {char(0x12), char(0x34)};
        ASSERT_TRUE(serialWrite(handle, frame.data(), uint32_t(frame.size()), written));
        waitForMasterInput(frame.size());
        answer({char(0xAA), char(0x01)});
        readPieces(handle, 2);
        ASSERT_TRUE(serialPurge(handle, kPurgeReceiveClear));
        ASSERT_TRUE(serialClose(handle));

        tree->removeGroup("card");
        tree->setGroup("card", cardGroup(terminal.portName()));
        recorder.setPackageVersions("3.19.0", "2.8.1");
        recorder.setResult(277);
        recorder.stop();
        deviceTree()->unsubscribe(subscription);
        EXPECT_EQ(deviceTree(), tree) << "stop gives the process its tree back";

        text = recorder.text();
    }

    PseudoTerminal terminal;
    std::shared_ptr<InMemoryDeviceTree> tree = std::make_shared<InMemoryDeviceTree>();
    std::shared_ptr<DeviceTree> previous;
};

TEST_F(SessionRecorderOnACard, RecordsVersionsAndResultButNoIdentifiersOfTheCard) {
    const std::string text = recordSession();
    ASSERT_FALSE(text.empty());
    const Json file = Json::parse(text);
    EXPECT_EQ(file["format"], "kestrel-session");
    EXPECT_EQ(file["version"], 1);
    EXPECT_EQ(file["kestrelVersion"], "9.9.9");
    EXPECT_EQ(file["package"]["firmware"], "3.19.0");
    EXPECT_EQ(file["result"], 277);
    EXPECT_EQ(text.find(kSerial), std::string::npos) << "the USB serial number is hidden";
    EXPECT_EQ(text.find("VID_046D"), std::string::npos) << "other devices are not the card";
    EXPECT_EQ(text.find("353490123456789"), std::string::npos) << "the IMEI is hidden";
}

TEST_F(SessionRecorderOnACard, RecordsTheCardsTreeAsADeviceFileAndItsPortsWithRoles) {
    const std::string text = recordSession();
    ASSERT_FALSE(text.empty());
    const Json file = Json::parse(text);
    const Json& nodes = file["trees"][0]["nodes"];
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0]["instanceId"], "USB\\VID_1234&PID_5678\\000000");
    EXPECT_EQ(nodes[0]["hardwareIds"][0], "USB\\VID_1234&PID_5678&REV_0001");
    EXPECT_EQ(nodes[0]["hardwareKey"]["SymbolicName"],
              "\\??\\USB#VID_1234&PID_5678#000000#{a5dcbf10}");
    EXPECT_EQ(nodes[1]["parent"], nodes[0]["id"]);
    // The tree as a device file of the simulated machine.
    DeviceGroup parsed;
    std::string problem;
    EXPECT_TRUE(parseDeviceFile(file["trees"][0].dump(), parsed, problem)) << problem;

    ASSERT_EQ(file["ports"].size(), 1u);
    EXPECT_EQ(file["ports"][0]["role"], "Velmar Application Interface");
    EXPECT_EQ(file["ports"][0]["portName"], terminal.portName());
}

TEST_F(SessionRecorderOnACard, RecordsTrafficAndDeparturesInOrderWithTheImeiMasked) {
    const std::string text = recordSession();
    ASSERT_FALSE(text.empty());
    const Json file = Json::parse(text);
    std::vector<std::string> kinds;
    std::string answered;
    for (const Json& event : file["events"]) {
        kinds.push_back(event["event"]);
        if (event["event"] == "read" && event.contains("text"))
            answered += event["text"].get<std::string>();
    }
    const std::vector<std::string> expected = {"arrival",   "open",   "write",  "read",  "read",
                                               "write",     "read",   "purge",  "close", "change",
                                               "departure", "change", "arrival"};
    std::vector<std::string> main;
    for (const std::string& kind : kinds) {
        if (kind != "change" || main.empty() || main.back() != "change")
            main.push_back(kind);
    }
    EXPECT_EQ(main, expected) << text;
    EXPECT_EQ(answered, "\r\n+CGSN: 000000000000000\r\nOK\r\n");
}

TEST_F(SessionRecorderOnACard, RecordsADownloadFrameByKindLengthAndChecksumOnly) {
    const std::string text = recordSession();
    ASSERT_FALSE(text.empty());
    const Json file = Json::parse(text);
    const Json* frameEvent = nullptr;
    for (const Json& event : file["events"]) {
        if (event.contains("frame"))
            frameEvent = &event;
    }
    ASSERT_NE(frameEvent, nullptr);
    EXPECT_EQ((*frameEvent)["frame"],
              (Json{{"kind", "data"}, {"length", 104}, {"checksum", "3412"}}));
    EXPECT_EQ(text.find(std::string(100, 'x')), std::string::npos) << "no payload";
}

// A tree whose backend describes its USB devices itself, as the udev backend does.
class DescribingTree : public InMemoryDeviceTree {
public:
    std::string nativeDescription(DevNode node) override {
        std::string id;
        instanceId(node, id);
        if (id.find("VID_046D") != std::string::npos)
            return "P: /devices/usb1/1-2\nA: serial=M0USE1\n";
        if (id.find("VID_1234&PID_5678\\") == std::string::npos)
            return std::string();
        return "P: /devices/usb1/1-1\nE: ID_SERIAL=Velmar_QT0880_Q88X1\n"
               "E: DEVLINKS=/dev/serial/by-id/usb-Velmar_QT0880_Q88X1-if02\n"
               "A: serial=Q88X1\nA: product=Q88X1Q88X10\n\n"
               "P: /devices/usb1/1-1/1-1:1.2\nE: KESTREL_NAME=Velmar Application Interface\n";
    }
};

TEST_F(SessionRecorderOnACard, BackendsOwnDescriptionOfTheCardIsKeptWithoutItsSerialNumber) {
    auto described = std::make_shared<DescribingTree>();
    described->setGroup("mouse", mouseGroup());
    described->setGroup("card", cardGroup(terminal.portName()));
    installDeviceTree(described);
    SessionRecorder recorder("unused", "9.9.9");
    recorder.start();
    const uint64_t subscription = deviceTree()->subscribe(NotificationFilter{}, [](auto&) {});
    ASSERT_TRUE(serialClose(openPort()));
    described->removeGroup("card");
    recorder.stop();
    deviceTree()->unsubscribe(subscription);

    const Json file = Json::parse(recorder.text());
    ASSERT_TRUE(file.contains("udev"));
    ASSERT_EQ(file["udev"].size(), file["trees"].size()) << "one description a tree";
    const std::string card = file["udev"][0];
    EXPECT_EQ(card, "P: /devices/usb1/1-1\nE: ID_SERIAL=Velmar_QT0880_00000\n"
                    "E: DEVLINKS=/dev/serial/by-id/usb-Velmar_QT0880_00000-if02\n"
                    "A: serial=00000\nA: product=Q88X1Q88X10\n\n"
                    "P: /devices/usb1/1-1/1-1:1.2\nE: KESTREL_NAME=Velmar Application Interface\n")
        << "the serial number is hidden where it stands as a word; other devices are left out";
    EXPECT_EQ(file["udev"].back(), "") << "the card is away in the last tree";
}

TEST_F(SessionRecorderOnACard, TreeWithoutItsOwnDescriptionRecordsNoUdevDevices) {
    SessionRecorder recorder("unused", "9.9.9");
    recorder.start();
    ASSERT_TRUE(serialClose(openPort()));
    recorder.stop();
    EXPECT_FALSE(Json::parse(recorder.text()).contains("udev"));
}

TEST_F(SessionRecorderOnACard, FileThatCannotBeWrittenFailsWithAReason) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("recorder-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "file") << "not a folder\n";
    SessionRecorder recorder((folder / "file" / "recording.json").string(), "9.9.9");
    recorder.start();
    recorder.stop();
    std::string problem;
    EXPECT_FALSE(recorder.write(problem));
    EXPECT_FALSE(problem.empty());
    SessionRecorder good((folder / "recording.json").string(), "9.9.9");
    EXPECT_TRUE(good.write(problem)) << problem;
    EXPECT_TRUE(std::filesystem::exists(folder / "recording.json"));
    std::filesystem::remove_all(folder);
}

TEST(RecordingPrivacy, IdentifiersBecomePlaceholdersOfTheirLength) {
    EXPECT_EQ(hideAnswerIdentifiers("IMEI: 35349012345678X\r\nOK\r\n"),
              "IMEI: 000000000000000\r\nOK\r\n");
    EXPECT_EQ(hideAnswerIdentifiers("Serial Number: AB12-77\r\n"), "Serial Number: 0000-00\r\n");
    EXPECT_EQ(hideAnswerIdentifiers("+CGSN=1\r\n"), "+CGSN=0\r\n");
    EXPECT_EQ(hideAnswerIdentifiers("353490123456789\r\n"), "000000000000000\r\n");
    // Versions, dates, progress and short numbers stay.
    const std::string kept =
        "Revision: 3.18.2 (Date: Jan 05 2010, Time: 10:00:00)\r\n%PROG: 100\r\n%ICBC: 1, 1, 1\r\n";
    EXPECT_EQ(hideAnswerIdentifiers(kept), kept);
    EXPECT_EQ(usbSerialNumber("USB\\VID_1234&PID_5678\\0001"), "0001");
    EXPECT_EQ(usbSerialNumber("USB\\VID_1234&PID_5678&MI_02\\6&1234&0&0002"), "");
    EXPECT_EQ(usbSerialNumber("USB\\VID_1234&PID_5678\\5&2F0C&0&1"), "") << "made by the system";
    EXPECT_EQ(hideUsbSerialNumbers("USB\\VID_1234&PID_0001&REV_0001\\0001", {"0001"}),
              "USB\\VID_1234&PID_0001&REV_0001\\0000");
}

TEST(DeviceFilePrinting, PrintedGroupReadsBackAsItWas) {
    DeviceGroup group;
    DeviceNodeDescription& node = group.add("card");
    node.instanceId = "USB\\VID_1234&PID_5678\\0001";
    node.enumerator = "USB";
    node.hardwareIds = {"USB\\VID_1234&PID_5678"};
    node.status = kNodeDriverLoaded | kNodeHasProblem;
    node.problem = 28;
    node.hardwareKey["PortName"] = {true, "ttyUSB2"};
    node.driverKey["Flags"] = {false, ""};
    node.driverVersion = (uint64_t(2) << 48) | (uint64_t(1) << 32) | 7;
    node.interfaces.push_back({"{A5DCBF10}", "\\\\?\\USB#VID_1234&PID_5678#0001#{a5dcbf10}"});
    const DeviceNodeDescription card = node;
    group.add("port", "card").friendlyName = "Port (ttyUSB2)";
    group.deviceNames["LMNDIS0"].adapterId = u"{5A1C}";
    group.deviceNames["lmuhsbus0"].openResult = DeviceTree::kAccessDenied;

    DeviceGroup parsed;
    std::string problem;
    ASSERT_TRUE(parseDeviceFile(printDeviceFile(group), parsed, problem)) << problem;
    EXPECT_EQ(printDeviceFile(parsed), printDeviceFile(group));
    ASSERT_EQ(parsed.nodes.size(), 2u);
    EXPECT_EQ(parsed.nodes[0].status, card.status);
    EXPECT_EQ(parsed.nodes[0].problem, 28u);
    EXPECT_EQ(parsed.nodes[0].driverVersion, card.driverVersion);
    EXPECT_EQ(parsed.nodes[0].interfaces.size(), 1u);
    EXPECT_FALSE(parsed.nodes[0].driverKey["Flags"].isString);
    EXPECT_EQ(parsed.nodes[1].parent, "card");
    EXPECT_EQ(parsed.deviceNames["LMNDIS0"].adapterId, u"{5A1C}");
    EXPECT_EQ(parsed.deviceNames["lmuhsbus0"].openResult, DeviceTree::kAccessDenied);
}

} // namespace
