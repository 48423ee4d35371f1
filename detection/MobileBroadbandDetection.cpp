#include "detection/MobileBroadbandDetection.h"

#include "detection/CardDatabase.h"
#include "detection/CardState.h"
#include "detection/CardStateMachine.h"
#include "detection/CurrentCard.h"
#include "detection/NwLibrary.h"
#include "detection/SubdeviceCompletion.h"
#include "detection/WideText.h"
#include "detection/XLog.h"
#include "platform/MessageWindow.h"
#include "platform/MobileBroadband.h"
#include "platform/Text.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace detection {
namespace {

constexpr uint32_t kHresultNotFound = 0x80070490; // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr uint32_t kHresultNotReady = 0x80070015; // HRESULT_FROM_WIN32(ERROR_NOT_READY)
constexpr int kSeparatorLength = 102;

struct MbState {
    std::mutex mutex; // guards the list
    std::vector<std::string> interfaces;
    std::unique_ptr<platform::MobileBroadbandWatch> watch;
    std::atomic<bool> initialDetectionDone{false};
    int genericIndex = -1;
};

MbState& mb() {
    static MbState* state = new MbState;
    return *state;
}

// Runs on the watch's thread, like the COM sink: it only logs and posts.
void onInterfaceEvent(platform::MobileBroadbandEvent event, const std::string& id) {
    const bool arrival = event == platform::MobileBroadbandEvent::Arrival;
    const char* name = arrival ? "OnInterfaceArrival" : "OnInterfaceRemoval";
    if (id.empty())
        XLogAt(1, "Nw: MB %s event (unknown device)", name);
    else
        XLogAt(1, "Nw: MB %s event for device [%s]", name, id.c_str());
    if (!mb().initialDetectionDone) {
        XLogAt(1, "Nw: MB %s event is ignored since initial detection has not yet been done.",
               name);
        return;
    }
    const platform::WindowHandle window = library().window;
    if (window != platform::kNoWindow)
        platform::postMessage(
            window, arrival ? kMessageMbInterfaceArrival : kMessageMbInterfaceRemoval, 0, 0);
}

} // namespace

bool hasMobileBroadbandApi() {
    const uint32_t osType = CardDbOsType();
    return osType >= kOsType7 && osType != kOsTypeUnknown;
}

uint32_t InitializeMbDetection(int genericIndex) {
    MbState& state = mb();
    state.initialDetectionDone = false;
    state.watch = platform::watchMobileBroadbandInterfaces(onInterfaceEvent);
    setMobileBroadbandLookup(
        [](const std::u16string& id) { return IsMbInterfaceListed(utf8FromUtf16(id)); });
    UpdateMbDevices();
    state.genericIndex = genericIndex;
    return 0;
}

void ShutdownMbDetection() {
    MbState& state = mb();
    state.watch.reset();
    state.initialDetectionDone = false;
    setMobileBroadbandLookup({});
    std::lock_guard<std::mutex> guard(state.mutex);
    state.interfaces.clear();
    state.genericIndex = -1;
}

uint32_t UpdateMbDevices() {
    MbState& state = mb();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.interfaces.clear();
    if (!state.watch)
        return kHresultNotReady;
    std::vector<std::string> ids;
    const uint32_t result = platform::listMobileBroadbandInterfaces(ids);
    if (result == platform::kErrorElementNotFound) {
        XLogAt(1, "Nw: No MB devices are listed over MBAPI");
        return kHresultNotFound;
    }
    if (result != 0) {
        const uint32_t hresult = 0x80070000u | (result & 0xFFFFu);
        XLogAt(3, "Nw: UpdateMbDevices(): Querying MB devices via GetInterfaces() failed with 0x%x",
               hresult);
        return hresult;
    }
    for (const auto& id : ids) {
        if (state.interfaces.size() >= kMaxMbInterfaces)
            break;
        if (!id.empty())
            state.interfaces.push_back(id);
    }
    return 0;
}

bool IsMbInterfaceListed(const std::string& interfaceId) {
    MbState& state = mb();
    std::lock_guard<std::mutex> guard(state.mutex);
    for (const auto& id : state.interfaces)
        if (platform::equalIgnoringCase(id, interfaceId))
            return true;
    return false;
}

int DetectGenericMbCard(uint32_t reason) {
    MbState& state = mb();
    if (reason == NwReasonInitialCheck && !state.initialDetectionDone) {
        state.initialDetectionDone = true;
        UpdateMbDevices();
    }
    if (state.genericIndex < 0 || state.genericIndex >= CardCount() ||
        currentCard().info.state != CardStateStopped)
        return 0;
    std::string first;
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        if (state.interfaces.empty())
            return 0;
        first = state.interfaces.front();
    }
    const CardInfoRecord& record = CardRecord(state.genericIndex);
    CurrentCard& card = currentCard();
    card.cardIndex = state.genericIndex;
    card.info.devNode = 0;
    card.symbolicName[0] = 0;
    card.info.deviceInstanceId[0] = 0;
    card.info.model = record.model;
    card.info.family = record.family;
    card.info.stackType = record.stackType;
    card.info.wwanCap = record.wwanCap;
    card.info.wlanCap = record.wlanCap;
    card.info.driverCap = record.driverCap;
    card.info.portType = record.portType;
    card.slowWakeup = record.slowWakeup != 0;
    card.info.portName[0] = 0;
    card.info.modemName[0] = 0;
    card.info.wwanNicName[0] = 0;
    card.modemNode = card.appPortNode = card.app2PortNode = card.dbgPortNode = 0;
    card.wwanNicNode = card.smartCardReaderNode = 0;
    copyText(card.info.netCfgInstanceId, utf16FromUtf8(first));
    card.finalPortOpened = true;
    const std::string separator = "Nw: " + std::string(kSeparatorLength, '-');
    XLogAt(1, "%s", separator.c_str());
    XLogAt(1, "Nw: Generic Mobile Broadband card detected with GUID [%s]", first.c_str());
    XLogAt(1, "%s", separator.c_str());
    return 1;
}

void OnMbInterfaceArrival() {
    if (hasMobileBroadbandApi())
        UpdateMbDevices();
    if (currentCard().info.state == CardStateStopped)
        CheckSystemState(NwReasonDeviceChange);
}

void OnMbInterfaceRemoval() {
    if (hasMobileBroadbandApi())
        UpdateMbDevices();
    const CurrentCard& card = currentCard();
    if ((card.info.driverCap & CardDriverCapabilitiesMbApi) != 0 &&
        card.info.state == CardStateStarted &&
        !IsMbInterfaceListed(utf8Of(card.info.netCfgInstanceId)))
        SetCardState(CardStateStopped, NwReasonDeviceChange);
}

} // namespace detection
