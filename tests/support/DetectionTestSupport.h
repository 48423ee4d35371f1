#pragma once

#include "detection/CardDatabase.h"
#include "detection/CardDetection.h"
#include "detection/CardState.h"
#include "detection/CurrentCard.h"
#include "detection/Nw.h"
#include "detection/SubdeviceCompletion.h"
#include "detection/WideText.h"
#include "platform/DeviceTree.h"
#include "platform/DeviceTreeInMemory.h"
#include "platform/OsVersion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace detectiontest {

// Collects the library's log lines (UTF-8) while it lives.
class LogCapture {
public:
    explicit LogCapture(uint16_t level = 1) {
        NwSetLogCallback(&LogCapture::sink, this);
        NwSetLogLevel(level);
    }
    ~LogCapture() {
        NwSetLogLevel(0);
        NwSetLogCallback(nullptr, nullptr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    int count(const std::string& text) const {
        const auto all = lines();
        return static_cast<int>(std::count(all.begin(), all.end(), text));
    }
    bool has(const std::string& text) const { return count(text) > 0; }
    // Whether some line contains `part`.
    bool mentions(const std::string& part) const {
        for (const auto& line : lines())
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.clear();
    }
    std::string dump() const {
        std::string out;
        for (const auto& line : lines())
            out += line + "\n";
        return out;
    }

private:
    static void sink(const wchar_t* text, void* context) {
        auto* self = static_cast<LogCapture*>(context);
        std::lock_guard<std::mutex> guard(self->mutex_);
        self->lines_.push_back(detection::utf8FromWide(text));
    }

    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The version each OS type stands for.
inline platform::OsVersion versionOf(uint32_t osType) {
    switch (osType) {
    case detection::kOsTypeNt4:
        return {platform::kPlatformNt, 4, 0, 1381};
    case detection::kOsType98:
        return {platform::kPlatformWindows9x, 4, 10, 2222};
    case detection::kOsTypeMe:
        return {platform::kPlatformWindows9x, 4, 90, 3000};
    case detection::kOsType2000:
        return {platform::kPlatformNt, 5, 0, 2195};
    case detection::kOsTypeXp:
        return {platform::kPlatformNt, 5, 1, 2600};
    case detection::kOsTypeVista:
        return {platform::kPlatformNt, 6, 0, 6002};
    default:
        return {platform::kPlatformNt, 6, 1, 7601};
    }
}

inline void poseAs(uint32_t osType) {
    platform::overrideOsVersion(versionOf(osType));
}

// A database text from lines, each ended by CRLF.
inline std::string database(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

// The lines of a section with every mandatory key; `extra` lines follow.
inline std::vector<std::string> section(const std::string& name, const std::string& model,
                                        const std::string& bus, const std::string& hardwareIds,
                                        const std::string& driverCap,
                                        const std::vector<std::string>& extra = {},
                                        const std::string& family = "0") {
    std::vector<std::string> lines = {"[" + name + "]",
                                      "Supported=1",
                                      "Model=" + model,
                                      "Family=" + family,
                                      "StackType=2",
                                      "BusType=" + bus,
                                      "HardwareId=" + hardwareIds,
                                      "AdPortType=0",
                                      "AdDriverCap=" + driverCap,
                                      "AdWwanCap=0x3",
                                      "AdWlanCap=0x0"};
    lines.insert(lines.end(), extra.begin(), extra.end());
    return lines;
}

inline std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Each test gets its own in-memory device tree, Windows 7, an empty card record and a log.
class DetectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::installDeviceTree(tree);
        poseAs(detection::kOsType7);
        detection::ResetCardInfo();
        detection::currentCard().replugDevNode = 0;
        detection::setCardStateObserver([this](uint32_t state, uint32_t reason) {
            stateChanges.push_back({state, reason});
        });
    }
    void TearDown() override {
        detection::setCardStateObserver({});
        detection::ResetCardInfo();
        detection::currentCard().replugDevNode = 0;
        detection::ReleaseCardDb();
        platform::installDeviceTree(nullptr);
        platform::overrideOsVersion(std::nullopt);
    }

    void load(const std::vector<std::string>& lines) { loadText(database(lines)); }
    void loadText(const std::string& text) {
        detection::ReleaseCardDb();
        ASSERT_EQ(detection::ReadCardDb(text.data(), text.size()), 0u);
    }
    void loadShipped() {
        const auto text = detection::shippedCardDatabase();
        detection::ReleaseCardDb();
        ASSERT_EQ(detection::ReadCardDb(text.data(), text.size()), 0u);
    }

    void publish(const platform::DeviceGroup& group, const std::string& name = "card") {
        std::string problem;
        ASSERT_TRUE(tree->setGroup(name, group, &problem)) << problem;
    }
    platform::DevNode node(const std::string& id, const std::string& group = "card") const {
        return tree->node(group, id);
    }

    const NwCardInfo& info() const { return detection::currentCard().info; }
    std::string text(const char16_t* field) const {
        return detection::utf8FromUtf16(detection::textOf(field, NW_TEXT_LENGTH));
    }

    std::shared_ptr<platform::InMemoryDeviceTree> tree =
        std::make_shared<platform::InMemoryDeviceTree>();
    LogCapture log;
    std::vector<std::pair<uint32_t, uint32_t>> stateChanges;
};

// Node builders for in-memory trees.
inline platform::DeviceNodeDescription& usbDevice(platform::DeviceGroup& group,
                                                  const std::string& id, const std::string& parent,
                                                  const std::string& instanceId,
                                                  const std::vector<std::string>& hardwareIds) {
    auto& node = group.add(id, parent);
    node.enumerator = "USB";
    node.instanceId = instanceId;
    node.hardwareIds = hardwareIds;
    return node;
}

inline platform::DeviceNodeDescription&
portNode(platform::DeviceGroup& group, const std::string& id, const std::string& parent,
         const std::string& instanceId, const std::string& friendlyName,
         const std::string& portName, const char* classGuid = platform::kClassPorts) {
    auto& node = group.add(id, parent);
    node.enumerator = "USB";
    node.instanceId = instanceId;
    node.classGuid = classGuid;
    node.friendlyName = friendlyName;
    if (!portName.empty())
        node.hardwareKey["PortName"] = {true, portName};
    return node;
}

inline platform::DeviceNodeDescription&
adapterNode(platform::DeviceGroup& group, const std::string& id, const std::string& parent,
            const std::string& instanceId, const std::string& description,
            const std::string& netCfgInstanceId) {
    auto& node = group.add(id, parent);
    node.enumerator = "USB";
    node.instanceId = instanceId;
    node.classGuid = platform::kClassNet;
    node.deviceDesc = description;
    if (!netCfgInstanceId.empty())
        node.driverKey["NetCfgInstanceId"] = {true, netCfgInstanceId};
    return node;
}

inline std::u16string u16(const std::string& text) {
    return detection::utf16FromUtf8(text);
}

} // namespace detectiontest
