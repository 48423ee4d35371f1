#pragma once

#include "tests/support/DetectionTestSupport.h"
#include "tests/support/ScopedTimeScale.h"

#include "detection/CardDatabase.h"
#include "detection/Nw.h"
#include "platform/Clock.h"
#include "platform/MessageWindow.h"
#include "platform/NamedObject.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace detectiontest {

// One notification as the client saw it, with the record it read in the callback.
struct Notification {
    uint32_t reason = 0;
    uint32_t result = 0; // of NwGetCardInfo
    uint32_t state = 0;
    uint32_t model = 0;
};

inline std::vector<Notification>& notifications() {
    static std::vector<Notification> seen;
    return seen;
}

inline void recordNotification(uint32_t reason) {
    NwCardInfo info{};
    info.size = sizeof info;
    Notification note;
    note.reason = reason;
    note.result = NwGetCardInfo(&info);
    note.state = info.state;
    note.model = info.model;
    notifications().push_back(note);
}

// A library session through the Nw functions on this thread: its own in-memory device tree,
// its own object namespace and simulated machine folder, Windows 7, a small time scale.
class NwSession : public ::testing::Test {
protected:
    // First, so that it is destroyed last; set in SetUp, where scale() can be asked.
    std::optional<testsupport::ScopedTimeScale> scaleGuard;
    void SetUp() override {
        scaleGuard.emplace(scale());
        char pattern[] = "/tmp/kestrel-nw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        std::filesystem::create_directories(folder + "/machine/devices");
        platform::setNamedObjectNamespace(folder + "/objects");
        platform::installDeviceTree(tree);
        poseAs(detection::kOsType7);
        notifications().clear();
    }
    void TearDown() override {
        NwUnregisterNotificationCallback(); // it would outlive the library otherwise
        NwTerminate();
        NwLeaveExclusiveMode();
        platform::pumpPendingMessages();
        platform::installDeviceTree(nullptr);
        platform::overrideOsVersion(std::nullopt);
        platform::setNamedObjectNamespace("");
        unsetenv("KESTREL_SIM_ROOT");
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }

    virtual double scale() const { return 0.01; }

    // Initialises the library with a database made of `lines`.
    uint32_t initialise(const std::vector<std::string>& lines) {
        databaseText() = database(lines);
        module().text = databaseText();
        return NwInitialize(&module());
    }
    void registerCallback() { ASSERT_EQ(NwRegisterNotificationCallback(recordNotification), 0u); }

    void publish(const platform::DeviceGroup& group, const std::string& name = "card") {
        std::string problem;
        ASSERT_TRUE(tree->setGroup(name, group, &problem)) << problem;
    }
    platform::DevNode node(const std::string& id, const std::string& group = "card") const {
        return tree->node(group, id);
    }

    // Pumps this thread's messages until `done` holds or `ms` logical milliseconds pass.
    bool pumpUntil(const std::function<bool()>& done, uint64_t ms = 60000) {
        return platform::pumpMessagesUntil(ms, done);
    }
    void pumpFor(uint64_t ms) { platform::pumpMessagesUntil(ms, nullptr); }

    // Whether a notification with this state and reason has been seen.
    bool notified(uint32_t state, uint32_t reason) const {
        for (const auto& note : notifications())
            if (note.state == state && note.reason == reason && note.result == 0)
                return true;
        return false;
    }
    bool waitForNotification(uint32_t state, uint32_t reason, uint64_t ms = 60000) {
        return pumpUntil([&] { return notified(state, reason); }, ms);
    }

    std::shared_ptr<platform::InMemoryDeviceTree> tree =
        std::make_shared<platform::InMemoryDeviceTree>();
    std::string folder;
    // The library remembers the module it was given, so it outlives every test.
    static std::string& databaseText() {
        static std::string* text = new std::string;
        return *text;
    }
    static detection::CardDbModule& module() {
        static detection::CardDbModule* remembered = new detection::CardDbModule{};
        return *remembered;
    }
    LogCapture log;
};

// Lyra: a USB card (VID_1234&PID_0001) with a modem whose port is the application port.
inline constexpr const char* kModemInterface = "{2C7089AA-2E0E-11D1-B114-00C04FC2AAE4}";
inline constexpr const char* kUsbInterface = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

inline platform::DeviceGroup lyraCard(bool withModem = true, bool withAdapter = false) {
    platform::DeviceGroup group;
    auto& card =
        usbDevice(group, "card", "", "USB\\VID_1234&PID_0001\\1", {"USB\\VID_1234&PID_0001"});
    card.hardwareKey["SymbolicName"] = {true, "\\??\\USB#VID_1234&PID_0001#1#{a5dcbf10}"};
    card.interfaces.push_back({kUsbInterface, "\\\\?\\USB#VID_1234&PID_0001#1#{a5dcbf10}"});
    if (withModem) {
        auto& modem = portNode(group, "modem", "card", "USB\\VID_1234&PID_0001&MI_00\\1",
                               "Lyra Modem", "lyra0", platform::kClassModem);
        modem.interfaces.push_back({kModemInterface, "\\\\?\\lyra-modem"});
        group.deviceNames["lyra0"] = {};
    }
    if (withAdapter)
        adapterNode(group, "nic", "card", "USB\\VID_1234&PID_0001&MI_04\\1", "Lyra Net",
                    "{AAAA-1111}");
    return group;
}

inline std::vector<std::string> lyraSection(const std::string& modemDetect,
                                            const std::string& driverCap = "0x80",
                                            const std::string& family = "0",
                                            const std::vector<std::string>& extra = {}) {
    std::vector<std::string> lines{"AdModemName=Lyra Modem", "AdModemDetect=" + modemDetect};
    lines.insert(lines.end(), extra.begin(), extra.end());
    return section("Lyra", "0x300", "USB", "USB\\VID_1234&PID_0001", driverCap, lines, family);
}

} // namespace detectiontest
