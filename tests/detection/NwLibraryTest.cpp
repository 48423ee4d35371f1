#include "tests/support/NwLibraryTestSupport.h"

#include "detection/CardStateMachine.h"
#include "detection/ExclusiveMode.h"
#include "detection/NwLibrary.h"
#include "detection/XLog.h"
#include "platform/DeviceActions.h"
#include "platform/PseudoTerminal.h"
#include "platform/SerialDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace detectiontest;

class NwLibrary : public NwSession {};

TEST_F(NwLibrary, FunctionsNeedingTheLibraryAnswer21BeforeInitialisation) {
    NwCardInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(NwGetCardInfo(&info), uint32_t(NwErrorNotReady));
    EXPECT_EQ(NwRegisterNotificationCallback(recordNotification), uint32_t(NwErrorNotReady));
    EXPECT_EQ(NwUnregisterNotificationCallback(), uint32_t(NwErrorNotReady));
    EXPECT_EQ(NwRegisterNotificationWindow(1, 0x400), uint32_t(NwErrorNotReady));
    EXPECT_EQ(NwUnregisterNotificationWindow(), uint32_t(NwErrorNotReady));
    EXPECT_EQ(NwIsFirstInsertionsFakeRemoval(), 0u);
    NwDcb dcb{};
    dcb.DCBlength = sizeof dcb;
    NwCommTimeouts timeouts{};
    EXPECT_EQ(NwGetDefaultPortSettings(&info, &dcb, &timeouts), uint32_t(NwErrorNotReady));
    NwHandle handle = nullptr;
    EXPECT_EQ(NwOpenApplicationPort(&info, &handle), uint32_t(NwErrorNotReady));
    EXPECT_TRUE(notifications().empty());
}

TEST_F(NwLibrary, CardInfoChecksItsSizeAndCopiesOnlyTheRequestedPart) {
    publish(lyraCard());
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    NwCardInfo info;
    std::memset(&info, 0xAB, sizeof info);
    for (uint32_t bad : {5247u, 100u, 0u, 5252u}) {
        info.size = bad;
        EXPECT_EQ(NwGetCardInfo(&info), uint32_t(NwErrorBadLength)) << bad;
    }
    EXPECT_EQ(NwGetCardInfo(nullptr), uint32_t(NwErrorBadLength));

    info.size = 1596;
    ASSERT_EQ(NwGetCardInfo(&info), 0u);
    EXPECT_EQ(info.size, 1596u);
    EXPECT_EQ(info.state, uint32_t(CardStateStarted));
    EXPECT_EQ(info.model, 0x300u);
    EXPECT_EQ(detection::utf8Of(info.modemName), "Lyra Modem");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
    for (size_t i = 1596; i < sizeof info; ++i)
        ASSERT_EQ(bytes[i], 0xAB) << "byte " << i << " was written";

    info.size = sizeof info;
    ASSERT_EQ(NwGetCardInfo(&info), 0u);
    EXPECT_EQ(detection::utf8Of(info.deviceInstanceId), "USB\\VID_1234&PID_0001\\1");
}

TEST_F(NwLibrary, RegistrationCallsBackOnceWithReason1BeforeItReturns) {
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    registerCallback();
    ASSERT_EQ(notifications().size(), 1u);
    EXPECT_EQ(notifications()[0].reason, uint32_t(NwReasonRegistered));
    EXPECT_EQ(notifications()[0].result, uint32_t(NwErrorNoCard));
    EXPECT_TRUE(log.has("Nw: Sending notification via callback, reason=1"));
    pumpFor(200);
    EXPECT_EQ(notifications().size(), 1u);
    ASSERT_EQ(NwUnregisterNotificationCallback(), 0u);
    detection::ResetAndStop(NwReasonDeviceChange);
    EXPECT_EQ(notifications().size(), 1u);
}

TEST_F(NwLibrary, NotificationWindowGetsTheRegisteredMessage) {
    std::vector<platform::Message> received;
    const platform::WindowHandle window =
        platform::createMessageWindow([&](const platform::Message& message) {
            received.push_back(message);
            return 0;
        });
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    ASSERT_EQ(NwRegisterNotificationWindow(window, platform::kMessageUser + 7), 0u);
    detection::ResetAndStop(NwReasonDeviceChange);
    pumpFor(200);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].id, platform::kMessageUser + 7);
    EXPECT_EQ(received[0].wParam, uint64_t(NwReasonRegistered));
    EXPECT_EQ(received[1].wParam, uint64_t(NwReasonDeviceChange));
    EXPECT_TRUE(log.has("Nw: Sending notification via window, reason=4"));

    // A window that is gone is not posted to; the state machine goes on.
    platform::destroyMessageWindow(window);
    detection::ResetAndStop(NwReasonDeviceChange);
    ASSERT_EQ(NwUnregisterNotificationWindow(), 0u);
}

TEST_F(NwLibrary, CallbackFromAnotherThreadArrivesOnTheInitialisingThread) {
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    registerCallback();
    notifications().clear();
    std::thread([] {
        detection::Notify(NwReasonDeviceChange, detection::NotifyChannel::Both);
    }).join();
    EXPECT_TRUE(notifications().empty()); // posted, not called on the other thread
    pumpFor(200);
    ASSERT_EQ(notifications().size(), 1u);
    EXPECT_EQ(notifications()[0].reason, uint32_t(NwReasonDeviceChange));
}

TEST_F(NwLibrary, TerminateTwiceDoesNothingTheSecondTime) {
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    EXPECT_EQ(NwInitialize(&module()), 0u); // already initialised
    EXPECT_EQ(log.count("Nw: Notification window initialized"), 1);
    ASSERT_EQ(NwTerminate(), 0u);
    EXPECT_EQ(NwTerminate(), 0u);
    EXPECT_EQ(log.count("Nw: Notification window released"), 1);
    NwCardInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(NwGetCardInfo(&info), uint32_t(NwErrorNotReady));
    // And it can be brought up again.
    ASSERT_EQ(NwInitialize(&module()), 0u);
    EXPECT_EQ(log.count("Nw: Notification window initialized"), 2);
}

TEST_F(NwLibrary, LogLevel7IsStoredAs3AndLoggedWithTheValueAsked) {
    NwSetLogLevel(7);
    EXPECT_TRUE(log.has("Nw: Logging level has been set to 7"));
    EXPECT_EQ(detection::logLevel(), 3);
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    EXPECT_TRUE(log.has("Nw: Nexwatch v1.0 (Unicode static library, loglevel=3)"));
    EXPECT_FALSE(log.mentions("Checking actual state")); // details are filtered
}

TEST_F(NwLibrary, SuspendedLibraryReportsAnEmptySuspendedRecord) {
    // Another holder of the exclusive mode: its mutex owned on another thread, its request
    // signalled.
    auto event = platform::createNamedEvent(detection::kSuspensionEventName, true, true);
    platform::SyncHandle mutex;
    std::thread([&] {
        mutex = platform::createNamedMutex(detection::kExclusiveMutexName, true).handle;
    }).join();
    ASSERT_TRUE(mutex);
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    NwCardInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(NwGetCardInfo(&info), 0u);
    EXPECT_EQ(info.state, uint32_t(CardStateSuspended));
    EXPECT_EQ(info.model, 0u);
    EXPECT_EQ(NwIsInUseByOtherProcess(), 1u);
    EXPECT_EQ(NwEnterExclusiveMode(100), uint32_t(NwErrorInvalidState));
}

TEST_F(NwLibrary, DefaultPortSettingsChangeOnlyTheirFields) {
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    NwCardInfo info{};
    NwDcb dcb{};
    NwCommTimeouts timeouts{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_EQ(NwGetDefaultPortSettings(nullptr, &dcb, &timeouts),
              uint32_t(NwErrorInvalidParameter));
    EXPECT_EQ(NwGetDefaultPortSettings(&info, nullptr, &timeouts), uint32_t(NwErrorBadLength));
    EXPECT_EQ(NwGetDefaultPortSettings(&info, &dcb, nullptr), uint32_t(NwErrorBadLength));
    dcb.DCBlength = 27;
    EXPECT_EQ(NwGetDefaultPortSettings(&info, &dcb, &timeouts), uint32_t(NwErrorBadLength));
    dcb.DCBlength = sizeof dcb;
    info.portType = 1;
    EXPECT_EQ(NwGetDefaultPortSettings(&info, &dcb, &timeouts), uint32_t(NwErrorBadArguments));

    info.portType = 0;
    dcb.XonChar = 0x11;
    dcb.XonLim = 77;
    dcb.fParity = 1;
    dcb.fOutX = 1;
    dcb.StopBits = 2;
    ASSERT_EQ(NwGetDefaultPortSettings(&info, &dcb, &timeouts), 0u);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fDtrControl, 1u);
    EXPECT_EQ(dcb.fRtsControl, 1u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.ByteSize, 8u);
    EXPECT_EQ(dcb.Parity, 0u);
    EXPECT_EQ(dcb.StopBits, 0u);
    EXPECT_EQ(dcb.XonChar, 0x11); // untouched
    EXPECT_EQ(dcb.XonLim, 77u);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 500u);
}

TEST_F(NwLibrary, ApplicationPortOfASerialCardGetsTheDefaultSettings) {
    platform::PseudoTerminal terminal;
    ASSERT_TRUE(terminal.open());
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    NwCardInfo info{};
    detection::copyText(info.portName, u16("\\\\.\\" + terminal.portName()));
    const std::wstring path = detection::wideFromUtf8("\\\\.\\" + terminal.portName());

    // A port type other than 0 keeps the settings the port has.
    platform::SerialHandle setup = platform::serialOpen(path);
    ASSERT_NE(setup, nullptr);
    platform::SerialLineSettings slow;
    slow.baudRate = 9600;
    ASSERT_TRUE(platform::serialSetLineSettings(setup, slow));
    platform::serialClose(setup);
    info.portType = 1;
    NwHandle handle = nullptr;
    ASSERT_EQ(NwOpenApplicationPort(&info, &handle), 0u);
    platform::SerialLineSettings settings;
    ASSERT_TRUE(
        platform::serialGetLineSettings(static_cast<platform::SerialHandle>(handle), settings));
    EXPECT_EQ(settings.baudRate, 9600u);
    // The port is open exclusively meanwhile.
    NwHandle second = nullptr;
    EXPECT_NE(NwOpenApplicationPort(&info, &second), 0u);
    EXPECT_EQ(second, nullptr);
    ASSERT_EQ(NwCloseApplicationPort(handle), 0u);

    info.portType = 0;
    ASSERT_EQ(NwOpenApplicationPort(&info, &handle), 0u);
    auto* port = static_cast<platform::SerialHandle>(handle);
    ASSERT_TRUE(platform::serialGetLineSettings(port, settings));
    EXPECT_EQ(settings.baudRate, 115200u);
    EXPECT_EQ(settings.dataBits, 8);
    EXPECT_EQ(settings.dtrControl, platform::SerialLineControl::enabled);
    EXPECT_EQ(settings.rtsControl, platform::SerialLineControl::enabled);
    platform::SerialTimeouts timeouts;
    ASSERT_TRUE(platform::serialGetTimeouts(port, timeouts));
    EXPECT_EQ(timeouts.readIntervalMs, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts.writeTotalConstantMs, 500u);
    EXPECT_EQ(NwCloseApplicationPort(handle), 0u);
    EXPECT_EQ(NwCloseApplicationPort(nullptr), uint32_t(NwErrorInvalidHandle));
}

TEST_F(NwLibrary, ApplicationPortThatCannotBeOpenedGivesItsError) {
    ASSERT_EQ(initialise(lyraSection("0x1")), 0u);
    NwCardInfo info{};
    detection::copyText(info.portName, u16("\\\\.\\no-such-port-here"));
    NwHandle handle = reinterpret_cast<NwHandle>(1);
    EXPECT_EQ(NwOpenApplicationPort(&info, &handle), uint32_t(NwErrorNotFound));
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(NwOpenApplicationPort(nullptr, &handle), uint32_t(NwErrorInvalidParameter));
    EXPECT_EQ(NwOpenApplicationPort(&info, nullptr), uint32_t(NwErrorInvalidParameter));
    // A device that is not a serial port fails at reading its state; the handle is closed.
    detection::copyText(info.portName, u16("/dev/null"));
    const uint32_t result = NwOpenApplicationPort(&info, &handle);
    EXPECT_NE(result, 0u);
    EXPECT_EQ(handle, nullptr);
}

} // namespace

namespace {

using namespace detectiontest;

class NwDeviceActions : public NwSession {
protected:
    void SetUp() override {
        NwSession::SetUp();
        setenv("KESTREL_SIM_ROOT", (folder + "/machine").c_str(), 1);
        publish(lyraCard());
    }
    std::string actions() const {
        std::ifstream file(folder + "/machine/device-actions.log");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
};

TEST_F(NwDeviceActions, StateChangeOfAPresentDeviceIsRecorded) {
    EXPECT_EQ(NwChangeDeviceState(u"USB\\VID_1234&PID_0001\\1", platform::kDevicePropertyChange),
              0u);
    EXPECT_TRUE(
        log.has("Nw: Device action 3 successfully done on device USB\\VID_1234&PID_0001\\1"));
    EXPECT_EQ(NwChangeDeviceState(nullptr, 1), uint32_t(NwErrorInvalidParameter));
    EXPECT_EQ(NwChangeDeviceState(u"", 1), uint32_t(NwErrorInvalidParameter));
    EXPECT_EQ(NwChangeDeviceState(u"USB\\VID_9999&PID_0001\\1", platform::kDeviceDisable),
              platform::DeviceActionError::kNoSuchDevInst);
    EXPECT_TRUE(log.has("Nw: NwChangeDeviceState(): SetupDiOpenDeviceInfo failed with 0xe000020b"));
    EXPECT_EQ(actions(), "change USB\\VID_1234&PID_0001\\1 3\n");
}

TEST_F(NwDeviceActions, EjectOfAPresentNodeIsRecordedWithoutVeto) {
    uint32_t vetoType = 99;
    char16_t vetoName[16] = u"stale";
    EXPECT_EQ(NwRequestDeviceEject(node("card"), &vetoType, vetoName, 16), 0u);
    EXPECT_EQ(vetoType, 0u);
    EXPECT_EQ(vetoName[0], 0);
    EXPECT_EQ(NwRequestDeviceEject(0, nullptr, nullptr, 0),
              platform::DeviceActionError::kCrInvalidDevNode);
    EXPECT_EQ(actions(), "eject USB\\VID_1234&PID_0001\\1\n");
}

} // namespace
