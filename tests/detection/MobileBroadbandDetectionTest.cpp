#include "tests/support/NwLibraryTestSupport.h"

#include "detection/MobileBroadbandDetection.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using namespace detectiontest;
namespace fs = std::filesystem;

class MobileBroadbandDetection : public NwSession {
protected:
    void SetUp() override {
        NwSession::SetUp();
        setenv("KESTREL_SIM_ROOT", machine().c_str(), 1);
    }

    std::string machine() const { return folder + "/machine"; }

    void writeDevice(const std::string& name, const std::string& text) {
        const fs::path temporary = fs::path(machine()) / "devices" / ("." + name + ".tmp");
        std::ofstream(temporary) << text;
        fs::rename(temporary, fs::path(machine()) / "devices" / name);
    }

    // A supported generic entry whose driver uses the mobile broadband interface.
    static std::vector<std::string> genericSection(const std::string& supported = "1") {
        return {"[Generic Mobile Broadband Device]",
                "Supported=" + supported,
                "Model=0xFF00",
                "Family=0",
                "StackType=0",
                "BusType=USB",
                "HardwareId=MBB\\GENERIC",
                "AdPortType=1",
                "AdDriverCap=0x1002",
                "AdWwanCap=0x0",
                "AdWlanCap=0x0"};
    }
};

TEST_F(MobileBroadbandDetection, ListedInterfaceBecomesAStartedGenericCard) {
    writeDevice("mb.json", R"({"mbInterfaces": ["{5E1D-0001}", "{5E1D-0002}"]})");
    ASSERT_EQ(initialise(concat({lyraSection("0x1"), genericSection()})), 0u);
    EXPECT_TRUE(log.has(
        "Nw: Mobile Broadband detection successfully initialized with third-party support"));
    EXPECT_TRUE(log.has("Nw: Generic Mobile Broadband card detected with GUID [{5E1D-0001}]"));
    registerCallback();
    ASSERT_EQ(notifications().back().state, uint32_t(CardStateStarted));
    EXPECT_EQ(notifications().back().model, 0xFF00u);
    NwCardInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(NwGetCardInfo(&info), 0u);
    EXPECT_EQ(detection::utf8Of(info.netCfgInstanceId), "{5E1D-0001}");
    EXPECT_EQ(info.portName[0], 0);
    EXPECT_EQ(info.devNode, 0u);
}

TEST_F(MobileBroadbandDetection, ShippedDatabaseReportsNoGenericCard) {
    writeDevice("mb.json", R"({"mbInterfaces": ["{5E1D-0001}"]})");
    static const detection::CardDbModule shipped{detection::shippedCardDatabase()};
    ASSERT_EQ(NwInitialize(&shipped), 0u);
    EXPECT_TRUE(log.has(
        "Nw: Mobile Broadband detection successfully initialized without third-party support"));
    EXPECT_FALSE(log.mentions("Generic Mobile Broadband card detected"));
    EXPECT_TRUE(log.has("Nw: No supported card detected"));
    EXPECT_TRUE(detection::IsMbInterfaceListed("{5e1d-0001}"));
}

TEST_F(MobileBroadbandDetection, ArrivalStartsAndRemovalStopsTheGenericCard) {
    ASSERT_EQ(initialise(concat({lyraSection("0x1"), genericSection()})), 0u);
    EXPECT_TRUE(log.has("Nw: No MB devices are listed over MBAPI"));
    registerCallback();
    ASSERT_EQ(notifications().back().result, uint32_t(NwErrorNoCard));

    writeDevice("other.json", R"({"mbInterfaces": ["{0THER}"]})");
    ASSERT_TRUE(waitForNotification(CardStateStarted, NwReasonDeviceChange)) << log.dump();
    EXPECT_TRUE(log.has("Nw: MB OnInterfaceArrival event for device [{0THER}]"));

    // Another interface going leaves the card started; its own interface going stops it.
    writeDevice("second.json", R"({"mbInterfaces": ["{SECOND}"]})");
    ASSERT_TRUE(pumpUntil([&] { return detection::IsMbInterfaceListed("{SECOND}"); }));
    fs::remove(fs::path(machine()) / "devices" / "second.json");
    ASSERT_TRUE(pumpUntil([&] {
        return log.has("Nw: MB OnInterfaceRemoval event for device [{SECOND}]") &&
               !detection::IsMbInterfaceListed("{SECOND}");
    }));
    pumpFor(200);
    EXPECT_EQ(notifications().back().state, uint32_t(CardStateStarted));

    fs::remove(fs::path(machine()) / "devices" / "other.json");
    ASSERT_TRUE(pumpUntil([&] { return notifications().back().result == NwErrorNoCard; }))
        << log.dump();
    EXPECT_EQ(notifications().back().reason, uint32_t(NwReasonDeviceChange));
}

TEST_F(MobileBroadbandDetection, AtMost32InterfacesAreListed) {
    std::string ids;
    for (int i = 0; i < 40; ++i)
        ids += std::string(i == 0 ? "" : ",") + "\"{IF-" + std::to_string(i) + "}\"";
    writeDevice("many.json", "{\"mbInterfaces\": [" + ids + "]}");
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    EXPECT_TRUE(detection::IsMbInterfaceListed("{IF-0}"));
    EXPECT_TRUE(detection::IsMbInterfaceListed("{IF-31}"));
    EXPECT_FALSE(detection::IsMbInterfaceListed("{IF-32}"));
}

TEST_F(MobileBroadbandDetection, OlderSystemsHaveNoMobileBroadbandDetection) {
    poseAs(detection::kOsTypeXp);
    writeDevice("mb.json", R"({"mbInterfaces": ["{5E1D-0001}"]})");
    ASSERT_EQ(initialise(concat({lyraSection("0x1"), genericSection()})), 0u);
    EXPECT_FALSE(log.mentions("Mobile Broadband detection"));
    EXPECT_FALSE(log.mentions("Generic Mobile Broadband card detected"));
    EXPECT_FALSE(log.mentions("MB devices"));
    EXPECT_FALSE(detection::IsMbInterfaceListed("{5E1D-0001}"));
}

} // namespace
