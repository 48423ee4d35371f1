#include "tests/support/DetectionTestSupport.h"

#include "detection/CardDetection.h"
#include "detection/DetectionMethods.h"

#include <gtest/gtest.h>

namespace {

using namespace detectiontest;

class DetectionMethods : public DetectionTest {
protected:
    void SetUp() override {
        DetectionTest::SetUp();
        platform::DeviceGroup group;
        usbDevice(group, "card", "", "USB\\VID_1\\1", {"USB\\VID_1"});
        publish(group);
    }
    // Detects the card of a section with the given method lines.
    const detection::DetectionMethods& detect(const std::vector<std::string>& lines) {
        load(section("Lyra", "0x300", "USB", "USB\\VID_1", "0x0", lines));
        detection::ResetCardInfo();
        log.clear();
        EXPECT_EQ(detection::DetectAnyCard(), 1);
        return detection::currentCard().methods;
    }
};

TEST_F(DetectionMethods, EventBasedMethodTakesItsMask) {
    const auto& methods = detect({"AdModemDetect=0x2,0x2", "AdAppPortDetect=0x4,0x82",
                                  "AdApp2PortDetect=0x2,0x11", "AdDbgPortDetect=0x2,0x80000000"});
    EXPECT_EQ(methods.modem, 2u);
    EXPECT_EQ(methods.modemMask, 2u);
    EXPECT_EQ(methods.appPort, 4u);
    EXPECT_EQ(methods.appPortMask, 0x82u);
    EXPECT_EQ(methods.app2Port, 2u);
    EXPECT_EQ(methods.app2PortMask, 0x11u);
    EXPECT_EQ(methods.dbgPort, 2u);
    EXPECT_EQ(methods.dbgPortMask, 0x80000000u);
    EXPECT_TRUE(log.has("Nw: Application port detection method is set to "
                        "AppPortDetMethodBroadcomEventBased, insertion event mask=0x82"));
    EXPECT_TRUE(log.has("Nw: Application2 port detection method is set to "
                        "AppPortDetMethodDefaultEventBased, insertion event mask=0x11"));
    EXPECT_TRUE(log.has("Nw: Debug port detection method is set to "
                        "DbgPortDetMethodDefaultEventBased, insertion event mask=0x80000000"));
}

TEST_F(DetectionMethods, MalformedTextsFallBackToPollingWithAWarning) {
    auto methods = detect({"AdModemDetect=0x2"});
    EXPECT_EQ(methods.modem, 1u);
    EXPECT_TRUE(log.has("Nw: DetermineModemDetectionMethod(): Warning, modem detection string for "
                        "card Lyra is corrupted, using default polling method"));

    methods = detect({"AdModemDetect=0x5"});
    EXPECT_EQ(methods.modem, 1u);
    EXPECT_TRUE(log.has("Nw: DetermineModemDetectionMethod(): Unknown modem detection method (5), "
                        "using default polling method"));

    methods = detect({"AdModemDetect=0x2,zz"});
    EXPECT_EQ(methods.modem, 1u);
    EXPECT_EQ(methods.modemMask, 0u);
    EXPECT_TRUE(log.has("Nw: DetermineModemDetectionMethod(): Warning, modem detection parameter "
                        "for card Lyra & method 2 is corrupted, using default polling method"));

    methods = detect({"AdDbgPortDetect="});
    EXPECT_EQ(methods.dbgPort, 1u);
    EXPECT_TRUE(log.has("Nw: DetermineDbgPortDetectionMethod(): Warning, debug port detection "
                        "string for card Lyra is empty, using default polling method"));

    methods = detect({"AdApp2PortDetect=1"});
    EXPECT_EQ(methods.app2Port, 1u);
    EXPECT_TRUE(log.has("Nw: DetermineApp2PortDetectionMethod(): Warning, application2 port "
                        "detection string for card Lyra is corrupted, using default polling "
                        "method"));
}

TEST_F(DetectionMethods, DeviceNamePollingIsAMethodOnlyForApplicationPorts) {
    const auto& methods = detect({"AdModemDetect=0x3", "AdAppPortDetect=0x3"});
    EXPECT_EQ(methods.modem, 1u);
    EXPECT_EQ(methods.appPort, 3u);
    EXPECT_TRUE(log.has("Nw: DetermineModemDetectionMethod(): Unknown modem detection method (3), "
                        "using default polling method"));
    EXPECT_TRUE(log.has("Nw: Modem detection method is set to ModemDetMethodDefaultPolling"));
}

TEST_F(DetectionMethods, MissingKeyDisablesTheKind) {
    const auto& methods = detect({});
    EXPECT_EQ(methods.modem, 0u);
    EXPECT_EQ(methods.appPort, 0u);
    EXPECT_TRUE(log.has("Nw: Modem detection is disabled"));
    EXPECT_TRUE(log.has("Nw: Application port detection is disabled"));
    EXPECT_TRUE(log.has("Nw: Application2 port detection is disabled"));
    EXPECT_TRUE(log.has("Nw: Debug port detection is disabled"));
}

TEST_F(DetectionMethods, WithoutACardNothingIsDetermined) {
    detection::ResetCardInfo();
    log.clear();
    detection::DetermineAppPortDetectionMethod();
    EXPECT_TRUE(log.has("Nw: DetermineAppPortDetectionMethod(): Warning, no card is detected"));
    EXPECT_EQ(detection::currentCard().methods.appPort, 0u);
}

TEST_F(DetectionMethods, UnknownStoredMethodsAreLoggedAsWarnings) {
    detection::currentCard().methods.modem = 9;
    detection::currentCard().methods.app2Port = 7;
    detection::LogModemDetectionMethod();
    detection::LogApp2PortDetectionMethod();
    EXPECT_TRUE(
        log.has("Nw: LogModemDetectionMethod(): Warning, unknown modem detection method (0x9)"));
    EXPECT_TRUE(log.has("Nw: LogApp2PortDetectionMethod(): Warning, unknown application port "
                        "detection method (0x7)"));
}

} // namespace
