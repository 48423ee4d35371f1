#include "detection/CardStateMachine.h"

#include "detection/CardDatabase.h"
#include "detection/CardDetection.h"
#include "detection/CardState.h"
#include "detection/CurrentCard.h"
#include "detection/DeviceEnumeration.h"
#include "detection/ExclusiveMode.h"
#include "detection/MobileBroadbandDetection.h"
#include "detection/NwLibrary.h"
#include "detection/SubdeviceCompletion.h"
#include "detection/WideText.h"
#include "detection/XLog.h"
#include "platform/DeviceTree.h"
#include "platform/MessageWindow.h"
#include "platform/Text.h"

namespace detection {
namespace {

constexpr uint32_t kDetectionTimeoutMs = 300000;
constexpr uint32_t kPollingPeriodMs = 1000;
constexpr uint32_t kWakeupPollingPeriodMs = 1000;
constexpr uint32_t kWakeupTimeoutMs = 10000;
constexpr uint32_t kSlowWakeupTimeoutMs = 60000;
constexpr uint32_t kReplugTimeoutMs = 35000;
constexpr int32_t kFamilyReplugging = 7;

constexpr uint32_t kMethodPolling = 1;
constexpr uint32_t kMethodEventBased = 2;
constexpr uint32_t kMethodDeviceNamePolling = 3;
constexpr uint32_t kMethodDeviceNameEventBased = 4;

// Running timers by id (index 0 unused); 0 when not running. Window thread only.
uint64_t runningTimers[kTimerReplugTimeout + 1] = {};

struct TimerTexts {
    const char* started;
    const char* startFailed;
    const char* stopped;
    const char* stopFailed;
};

constexpr TimerTexts kTimerTexts[kTimerReplugTimeout + 1] = {
    {nullptr, nullptr, nullptr, nullptr},
    {"Nw: Detection timeout timer started with %d msec timeout",
     "Nw: StartDetectionTimeoutTimer(): Warning, creating the detection timeout timer failed "
     "with 0x%x",
     "Nw: Detection timeout timer stopped",
     "Nw: StopDetectionTimeoutTimer(): Warning, could not stop detection timeout timer, "
     "err=0x%x"},
    {"Nw: Polling timer started with 1 sec frequency",
     "Nw: StartPollingTimer(): Warning, creating the polling timer failed with 0x%x",
     "Nw: Polling timer stopped",
     "Nw: StopPollingTimer(): Warning, could not stop the polling timer, err=0x%x"},
    {"Nw: Wakeup polling timer started with 1 sec frequency",
     "Nw: StartWakeupPollingTimer(): Warning, creating the wakeup polling timer failed with 0x%x",
     "Nw: Wakeup polling timer stopped",
     "Nw: StopWakeupPollingTimer(): Warning, could not stop wakeup polling timer, err=0x%x"},
    {"Nw: Wakeup timeout timer started with %d msec timeout",
     "Nw: StartWakeupTimeoutTimer(): Warning, creating the wakeup timeout timer failed with 0x%x",
     "Nw: Wakeup timeout timer stopped",
     "Nw: StopWakeupTimeoutTimer(): Warning, could not stop wakeup timeout timer, err=0x%x"},
    {"Nw: Replug timeout timer started with %d msec timeout",
     "Nw: StartReplugTimeoutTimer(): Warning, creating the replug timeout timer failed with 0x%x",
     "Nw: Replug timeout timer stopped",
     "Nw: StopReplugTimeoutTimer(): Warning, could not stop replug timeout timer, err=0x%x"},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
uint32_t startTimer(uint64_t id, uint32_t periodMs) {
    const platform::WindowHandle window = library().window;
    if (window == platform::kNoWindow)
        return kErrorNotReady;
    if (runningTimers[id] != 0) {
        platform::killTimer(window, runningTimers[id]);
        runningTimers[id] = 0;
    }
    const uint32_t result = platform::setTimer(window, id, periodMs);
    if (result != 0) {
        XLogAt(2, kTimerTexts[id].startFailed, result);
        return result;
    }
    runningTimers[id] = id;
    XLogAt(1, kTimerTexts[id].started, static_cast<int>(periodMs));
    return 0;
}

uint32_t stopTimer(uint64_t id) {
    const platform::WindowHandle window = library().window;
    if (window == platform::kNoWindow)
        return kErrorNotReady;
    if (runningTimers[id] == 0)
        return 0;
    const uint32_t result = platform::killTimer(window, runningTimers[id]);
    runningTimers[id] = 0;
    if (result != 0) {
        XLogAt(2, kTimerTexts[id].stopFailed, result);
        return result;
    }
    XLogAt(1, "%s", kTimerTexts[id].stopped);
    return 0;
}
#pragma GCC diagnostic pop

void stopAllTimers() {
    StopDetectionTimeoutTimer();
    StopPollingTimer();
    StopWakeupPollingTimer();
    StopWakeupTimeoutTimer();
    StopReplugTimeoutTimer();
}

bool cardIsPolled() {
    const DetectionMethods& methods = currentCard().methods;
    return methods.modem == kMethodPolling || methods.appPort == kMethodPolling ||
           methods.appPort == kMethodDeviceNamePolling;
}

bool inMask(uint32_t method, uint32_t mask, uint32_t event, bool deviceNameMethods) {
    const bool eventBased =
        method == kMethodEventBased || (deviceNameMethods && method == kMethodDeviceNameEventBased);
    return eventBased && (mask & event) != 0;
}

void checkStepsForEvent(uint32_t event) {
    const DetectionMethods& m = currentCard().methods;
    const bool adapterAndReader = !cardIsPolled() && event != kDetEvDeviceNodeChanged;
    CheckSubdevices(
        stepIf(inMask(m.modem, m.modemMask, event, false), SubdeviceStep::Modem) |
            stepIf(inMask(m.appPort, m.appPortMask, event, true),
                   SubdeviceStep::AppPortIfMultiplexing) |
            stepIf(m.modem == kMethodEventBased, SubdeviceStep::AppPortIfNotMultiplexing) |
            stepIf(adapterAndReader, SubdeviceStep::WwanAdapter | SubdeviceStep::SmartCardReader) |
            stepIf(inMask(m.app2Port, m.app2PortMask, event, false), SubdeviceStep::App2Port) |
            stepIf(inMask(m.dbgPort, m.dbgPortMask, event, false), SubdeviceStep::DbgPort),
        NwReasonDeviceChange);
}

void checkStepsForPolling() {
    const DetectionMethods& m = currentCard().methods;
    const bool appPolled = m.appPort == kMethodPolling || m.appPort == kMethodDeviceNamePolling;
    const bool modemPolled = m.modem == kMethodPolling;
    CheckSubdevices(stepIf(modemPolled, SubdeviceStep::Modem) |
                        stepIf(appPolled, SubdeviceStep::AppPortIfMultiplexing) |
                        stepIf(modemPolled, SubdeviceStep::AppPortIfNotMultiplexing) |
                        SubdeviceStep::WwanAdapter | SubdeviceStep::SmartCardReader |
                        stepIf(m.app2Port == kMethodPolling, SubdeviceStep::App2Port) |
                        stepIf(m.dbgPort == kMethodPolling, SubdeviceStep::DbgPort),
                    NwReasonDeviceChange);
}

void logDetectionEvent(uint32_t event) {
    XLogAt(1, "Nw: DetectionEvent is %s", detectionEventName(event));
}

// Runs before every device reaction; false when the card was lost and nothing else may
// happen for this message.
bool deviceHousekeeping() {
    CurrentCard& card = currentCard();
    if (haveCard() && !card.subdevicesReady)
        card.subdevicesReady = AreSubdevicesReady(card.info.devNode, card.info.model);
    const uint32_t state = card.info.state;
    const bool cardGone = (state == CardStateStarting || state == CardStateStarted) &&
                          card.info.devNode != 0 && !IsDeviceNodeActive(card.info.devNode, true);
    const bool adapterGone = state == CardStateStarted && card.info.wwanNicName[0] != 0 &&
                             card.wwanNicNode != 0 && !IsDeviceNodeActive(card.wwanNicNode, true);
    if (cardGone || adapterGone) {
        ResetAndStop(NwReasonDeviceChange);
        return false;
    }
    if (haveCard()) {
        for (const uint32_t node : {card.modemNode, card.appPortNode, card.dbgPortNode})
            if (node != 0)
                IsDeviceNodeActive(node, true);
    }
    if (card.replugDevNode != 0 && !IsDeviceNodeActive(card.replugDevNode, true)) {
        card.replugDevNode = 0;
        XLogAt(1, "Nw: Current repluggable card has been removed");
        StopReplugTimeoutTimer();
    }
    return true;
}

} // namespace

const char* detectionEventName(uint32_t event) {
    switch (event) {
    case kDetEvUnknown:
        return "DetEvUnknown";
    case kDetEvComPortDevIfArrived:
        return "DetEvComPortDevIfArrived";
    case kDetEvModemDevIfArrived:
        return "DetEvModemDevIfArrived";
    case kDetEvUsbIfArrived:
        return "DetEvUsbIfArrived";
    case kDetEvSerEnumBusEnumIfArrived:
        return "DetEvSerEnumBusEnumIfArrived";
    case kDetEvNetworkDevIfArrived:
        return "DetEvNetworkDevIfArrived";
    case kDetEvDeviceNodeArrived:
        return "DetEvDeviceNodeArrived";
    case kDetEvPortArrived:
        return "DetEvPortArrived";
    case kDetEvScReaderIfArrived:
        return "DetEvScReaderIfArrived";
    case kDetEvDeviceNodeChanged:
        return "DetEvDeviceNodeChanged";
    default:
        return "Unknown!";
    }
}

void ResetAndStop(uint32_t reason) {
    ResetCardInfo();
    ChangeCardState(CardStateStopped, reason);
}

void onCardStateChanged(uint32_t state, uint32_t reason) {
    Notify(reason, NotifyChannel::Both);
    if (state != CardStateStarting) {
        stopAllTimers();
    } else if (reason == NwReasonResume) {
        StartWakeupPollingTimer();
        StartWakeupTimeoutTimer();
    } else {
        StartDetectionTimeoutTimer();
        if (cardIsPolled())
            StartPollingTimer();
    }
}

void CheckSystemState(uint32_t reason) {
    const char* when = reason == NwReasonInitialCheck       ? "at startup..."
                       : reason == NwReasonResume           ? "after wake-up..."
                       : reason == NwReasonExclusiveModeEnd ? "after suspension..."
                                                            : "";
    XLogAt(1, "Nw: Checking actual state of the system %s", when);
    ResetCardInfo();
    XLogAt(1, "Nw: Card state has been silently set to CardStateStopped");
    if (UpdateExclusiveState()) {
        SetCardState(CardStateSuspended, reason);
        return;
    }
    bool found = false;
    if (DetectAnyCard()) {
        found = true;
        SetCardState(CardStateStarting, reason);
        CheckSubdevices(kEverySubdeviceStep, reason);
    }
    // Also when a card was found: the first check arms the mobile broadband events.
    if (hasMobileBroadbandApi() && DetectGenericMbCard(reason)) {
        found = true;
        SetCardState(CardStateStarted, reason);
    }
    if (!found) {
        XLogAt(1, "Nw: No supported card detected");
        if (reason != NwReasonInitialCheck)
            Notify(reason, NotifyChannel::Both);
    }
}

void OnDeviceNodesChanged() {
    logDetectionEvent(kDetEvDeviceNodeChanged);
    if (!deviceHousekeeping())
        return;
    checkStepsForEvent(kDetEvDeviceNodeChanged);
}

void OnDeviceArrival(uint32_t event) {
    logDetectionEvent(event);
    if (!deviceHousekeeping())
        return;
    if (currentCard().wakingUp) {
        XLogAt(1, "Nw: ... device arrival event is ignored before complete system wake up");
        return;
    }
    if (!haveCard() && DetectAnyCard())
        SetCardState(CardStateStarting, NwReasonDeviceChange);
    checkStepsForEvent(event);
}

void OnDeviceRemoval(const std::string& interfaceName) {
    if (!deviceHousekeeping())
        return;
    const CurrentCard& card = currentCard();
    const uint32_t state = card.info.state;
    if ((state == CardStateStarting || state == CardStateStarted) && card.symbolicName[0] != 0 &&
        platform::equalIgnoringCase(utf8Of(card.symbolicName), interfaceName)) {
        XLogAt(1, "Nw: Symbolic link of the main device has been removed, resetting device state");
        ResetAndStop(NwReasonDeviceChange);
    }
}

void OnTimer(uint64_t timerId) {
    switch (timerId) {
    case kTimerDetectionTimeout:
        XLogAt(1, "Nw: Detection timed out, cancelling...");
        SetCardState(CardStateStopped, NwReasonDeviceChange);
        break;
    case kTimerPolling:
        XLogAt(1, "Nw: polling timer event");
        checkStepsForPolling();
        break;
    case kTimerWakeupPolling:
        XLogAt(1, "Nw: Wakeup polling timer event");
        CheckSubdevices(kEverySubdeviceStep, NwReasonResume);
        break;
    case kTimerWakeupTimeout:
        XLogAt(1, "Nw: Wakeup check timed out, cancelling...");
        SetCardState(CardStateStopped, NwReasonResume);
        break;
    case kTimerReplugTimeout:
        XLogAt(1, "Nw: Replug timeout timer event");
        StopReplugTimeoutTimer();
        if (currentCard().replugDevNode != 0) {
            XLog("Nw: Repluggable card was not replugged within a reasonable time after standby, "
                 "assuming non-powered down USB, checking system...");
            currentCard().replugDevNode = 0;
            CheckSystemState(NwReasonDeviceChange);
        }
        break;
    default:
        break;
    }
}

void OnStandby() {
    CurrentCard& card = currentCard();
    if (haveCard() && card.info.family == kFamilyReplugging) {
        card.replugDevNode = card.wwanNicNode;
        XLogAt(1, "Nw: Current card will be replugged, storing its WWAN NIC device node 0x%x",
               card.replugDevNode);
    }
    ResetAndStop(NwReasonStandby);
    card.wakingUp = true;
}

void OnResume() {
    currentCard().wakingUp = false;
    CheckSystemState(NwReasonResume);
    if (currentCard().replugDevNode != 0 && currentCard().info.state == CardStateStopped)
        StartReplugTimeoutTimer();
}

void OnSuspensionRequest() {
    // The listener saw the request before posting it; this process may have entered exclusive
    // mode since, and its own request must not suspend it.
    if (isExclusiveModeOn()) {
        XLogAt(1, "Nw: Suspension request has arrived but ignored in exclusive mode");
        return;
    }
    ResetCardInfo();
    SetCardState(CardStateSuspended, NwReasonDeviceChange);
}

int IsFirstInsertionsFakeRemoval() {
    CurrentCard& card = currentCard();
    const uint32_t state = card.info.state;
    if ((state != CardStateStarting && state != CardStateStarted) || !haveCard() ||
        card.fakeRemovalDone)
        return 0;
    card.fakeRemovalDone = true;
    if ((card.info.driverCap & CardDriverCapabilitiesSmartCardReader) == 0 &&
        !DetectSmartCardReader(false))
        return 0;
    const uint32_t node = card.smartCardReaderNode;
    uint32_t status = 0;
    uint32_t problem = 0;
    const uint32_t result = platform::deviceTree()->status(node, status, problem);
    if (result != 0) {
        XLogAt(1,
               "Nw: NwIsFirstInsertionsFakeRemoval(): CM_Get_DevNode_Status for devnode 0x%x "
               "failed with 0x%x",
               node, result);
        return 0;
    }
    XLogAt(1, "Nw: DevNode 0x%x status is 0x%x, problem# is %d", node, status,
           static_cast<int>(problem));
    if ((status & platform::kNodeHasProblem) != 0 && problem == platform::kProblemNotConfigured) {
        XLogAt(2, "Nw: Fake removal detected due to the first insertion of a device with a smart "
                  "card reader");
        return 1;
    }
    return 0;
}

uint32_t StartDetectionTimeoutTimer() {
    return startTimer(kTimerDetectionTimeout, kDetectionTimeoutMs);
}
uint32_t StopDetectionTimeoutTimer() {
    return stopTimer(kTimerDetectionTimeout);
}
uint32_t StartPollingTimer() {
    return startTimer(kTimerPolling, kPollingPeriodMs);
}
uint32_t StopPollingTimer() {
    return stopTimer(kTimerPolling);
}
uint32_t StartWakeupTimeoutTimer() {
    const bool slow = haveCard() && currentCard().slowWakeup;
    return startTimer(kTimerWakeupTimeout, slow ? kSlowWakeupTimeoutMs : kWakeupTimeoutMs);
}
uint32_t StopWakeupTimeoutTimer() {
    return stopTimer(kTimerWakeupTimeout);
}
uint32_t StartWakeupPollingTimer() {
    return startTimer(kTimerWakeupPolling, kWakeupPollingPeriodMs);
}
uint32_t StopWakeupPollingTimer() {
    return stopTimer(kTimerWakeupPolling);
}
uint32_t StartReplugTimeoutTimer() {
    return startTimer(kTimerReplugTimeout, kReplugTimeoutMs);
}
uint32_t StopReplugTimeoutTimer() {
    return stopTimer(kTimerReplugTimeout);
}

void forgetTimers() {
    for (auto& timer : runningTimers)
        timer = 0;
}

} // namespace detection
