#include "app/AppDeviceTrait.h"

#include "app/AppCheckThread.h"
#include "app/ErrorCodes.h"
#include "app/StateMachine.h"
#include "app/TraitLog.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "app/util/Log.h"
#include "detection/Nw.h"
#include "flasher/Ff.h"
#include "platform/Clock.h"
#include "platform/Service.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr uint32_t kExclusiveModeTimeoutMs = 2048;
constexpr uint16_t kDetectionLogLevel = 1;
constexpr uint32_t kNoCard = 55;
constexpr int kProgressReadStart = 15;
constexpr int kProgressReadEnd = 16;
constexpr const char* kSleepInhibitReason = "Updating the card's firmware";

const log4cplus::Logger& deviceLogger() {
    static const log4cplus::Logger logger = Kestrel::Log::logger("kestrel.app.traits.device");
    return logger;
}

const log4cplus::Logger& callbackLogger() {
    static const log4cplus::Logger logger = Kestrel::Log::logger("kestrel.nexwatch.callback");
    return logger;
}

const log4cplus::Logger& detectionLogger() {
    static const log4cplus::Logger logger = Kestrel::Log::logger("kestrel.nexwatch.log");
    return logger;
}

const log4cplus::Logger& engineLogger() {
    static const log4cplus::Logger logger = Kestrel::Log::logger("engine");
    return logger;
}

// The trait whose callback the detection library calls; there is one per process.
std::atomic<AppDeviceTrait*> activeTrait{nullptr};

std::wstring wideFromUtf16(const char16_t* text, size_t capacity) {
    std::wstring out;
    for (size_t i = 0; i < capacity && text[i] != 0; ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < capacity && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            out += static_cast<wchar_t>(unit);
        }
    }
    return out;
}

bool isServiceAbsentOrIdle(uint32_t error) {
    return error == platform::ServiceError::kDisabled ||
           error == platform::ServiceError::kDoesNotExist ||
           error == platform::ServiceError::kNotActive;
}

} // namespace

AppDeviceTrait::AppDeviceTrait(StateMachine& machine) : machine(machine) {}

AppDeviceTrait::AppDeviceTrait() : AppDeviceTrait(StateMachine::instance()) {}

AppDeviceTrait::~AppDeviceTrait() {
    AppDeviceTrait* self = this;
    activeTrait.compare_exchange_strong(self, nullptr);
}

int32_t AppDeviceTrait::flashingLogLevel() {
    // The logger's own level, not whether logging is switched on at this moment: logging that is
    // switched on later (the main window's check box) must find the library already talking.
    const log4cplus::LogLevel level = engineLogger().getChainedLogLevel();
    if (level <= log4cplus::DEBUG_LOG_LEVEL)
        return 4;
    if (level <= log4cplus::INFO_LOG_LEVEL)
        return 3;
    if (level <= log4cplus::WARN_LOG_LEVEL)
        return 2;
    if (level <= log4cplus::ERROR_LOG_LEVEL)
        return 1;
    return 0;
}

int AppDeviceTrait::initialise() {
    KESTREL_DEBUG(deviceLogger(), "AppDeviceTrait::initialise()");
    FfInitialise(flashingLogLevel(), &AppDeviceTrait::flashingLogSink, 0);
    {
        std::lock_guard<std::mutex> guard(signalMutex);
        signalsExist = true;
        forget(arrival);
        forget(departure);
    }
    const bool stopped = setLmService(false);
    KESTREL_DEBUG(deviceLogger(), "AppDeviceTrait::initialise(): Stopping of CmxService suceeded = "
                                      << (stopped ? 1 : 0));
    if (!stopped) {
        if (!isServiceAbsentOrIdle(serviceError)) {
            machine.dispatch(sigError, Kestrel::kResultServiceStopFailed);
            return static_cast<int>(serviceError);
        }
        KESTREL_DEBUG(deviceLogger(), "AppDeviceTrait::initialise(): Stopping of "
                                      "CmxServicefailed because service was not started at all: "
                                          << serviceError);
    }
    activeTrait.store(this);
    NwSetLogCallback(&AppDeviceTrait::detectionLogSink, nullptr);
    NwSetLogLevel(kDetectionLogLevel);
    NwEnterExclusiveMode(kExclusiveModeTimeoutMs);
    if (NwInitialize(nullptr) == 0)
        NwRegisterNotificationCallback(&AppDeviceTrait::nwCallback);
    if (machine.isIn(StateMachine::kDeviceInserted))
        return 0;
    machine.dispatch(sigDone, 0);
    return 0;
}

void AppDeviceTrait::fillUpdateInfo(const NwCardInfo& card, UpdateInfo& info) {
    std::lock_guard<std::mutex> guard(info.mutex);
    info.appPort = wideFromUtf16(card.portName, NW_TEXT_LENGTH);
    info.diagPort = wideFromUtf16(card.dbgPortName, NW_TEXT_LENGTH);
    info.model = static_cast<int32_t>(card.model);
    info.family = card.family;
    info.stackType = card.stackType;
    info.driverVersionHigh = card.driverVersionMs;
    info.driverVersionLow = card.driverVersionLs;

    const std::wstring instance = wideFromUtf16(card.deviceInstanceId, NW_TEXT_LENGTH);
    size_t start = 0;
    while (start <= instance.size()) {
        const size_t end = instance.find_first_of(L"\\&", start);
        const std::wstring token =
            instance.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        unsigned int value = 0;
        if (token.find(L"VID_") != std::wstring::npos) {
            if (std::swscanf(token.c_str(), L"VID_%04X", &value) == 1)
                info.vendorId = static_cast<int32_t>(value);
        } else if (token.find(L"PID_") != std::wstring::npos) {
            if (std::swscanf(token.c_str(), L"PID_%04X", &value) == 1)
                info.productId = static_cast<int32_t>(value);
        }
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
}

void AppDeviceTrait::nwCallback(uint32_t) {
    KESTREL_DEBUG(callbackLogger(), "AppDeviceTrait::nwCallback entered.");
    if (AppDeviceTrait* trait = activeTrait.load())
        trait->report();
    KESTREL_DEBUG(callbackLogger(), "AppDeviceTrait::nwCallback exit.");
}

void AppDeviceTrait::report() {
    NwCardInfo card;
    std::memset(&card, 0, sizeof card);
    card.size = sizeof card;
    onCardReport(NwGetCardInfo(&card), card);
}

void AppDeviceTrait::onCardReport(uint32_t result, const NwCardInfo& card) {
    if (result == kNoCard) {
        announce(departure);
        machine.dispatch(sigDeparture, 0);
        raise(departure, arrival);
        return;
    }
    UpdateInfo* info = machine.updateTrait != nullptr ? machine.updateTrait->updateInfo : nullptr;
    if (result != 0 || card.state != CardStateStarted || card.model == 0 || info == nullptr)
        return;
    fillUpdateInfo(card, *info);
    {
        const std::wstring instance = wideFromUtf16(card.deviceInstanceId, NW_TEXT_LENGTH);
        std::lock_guard<std::mutex> guard(cardMutex);
        cardInstance = Kestrel::narrowForLog(instance.c_str());
    }
    // The workflow reacts to the signal before a waiting update thread wakes.
    announce(arrival);
    machine.dispatch(sigArrival, 0);
    raise(arrival, departure);
    // Only the update waits for arrivals: one reported before it started (a repeated report
    // while the user decides) would end its first wait before the card has changed mode.
    if (!machine.isIn(StateMachine::kUpdate))
        forgetEarlierArrivals();
}

void AppDeviceTrait::announce(Signal& signal) {
    std::lock_guard<std::mutex> guard(signalMutex);
    ++signal.announced;
}

void AppDeviceTrait::raise(Signal& signal, Signal& opposite) {
    std::lock_guard<std::mutex> guard(signalMutex);
    signal.raised = signal.announced;
    // A device that left (or came back) makes the opposite report stale for the next wait.
    forget(opposite);
    signal.condition.notify_all();
}

void AppDeviceTrait::forget(Signal& signal) {
    signal.consumed = signal.announced;
}

void AppDeviceTrait::forgetEarlierArrivals() {
    std::lock_guard<std::mutex> guard(signalMutex);
    forget(arrival);
}

int AppDeviceTrait::wait(Signal& signal, int timeoutResult) {
    std::unique_lock<std::mutex> lock(signalMutex);
    if (!signalsExist)
        return timeoutResult;
    const bool raised = platform::waitFor(signal.condition, lock, kWaitMs, [&] {
        return !signalsExist || signal.raised > signal.consumed;
    });
    if (!raised || !signalsExist)
        return timeoutResult;
    signal.consumed = signal.raised;
    return 0;
}

int AppDeviceTrait::waitForArrival() {
    return wait(arrival, Kestrel::kResultArrivalTimeout);
}

int AppDeviceTrait::waitForDeparture() {
    return wait(departure, Kestrel::kResultDepartureTimeout);
}

void AppDeviceTrait::detectionLogSink(const wchar_t* text, void*) {
    if (text == nullptr)
        return;
    const wchar_t* message = std::wcsncmp(text, L"Nw: ", 4) == 0 ? text + 4 : text;
    KESTREL_DEBUG(detectionLogger(), Kestrel::narrowForLog(message));
}

void AppDeviceTrait::flashingLogSink(const wchar_t* text) {
    if (text == nullptr)
        return;
    const log4cplus::Logger& logger = engineLogger();
    const log4cplus::LogLevel level = logger.getChainedLogLevel();
    if (level < log4cplus::OFF_LOG_LEVEL)
        KESTREL_LOG(logger, level, Kestrel::narrowForLog(text));
}

int AppDeviceTrait::checkDevice(bool asynchronous) {
    KESTREL_DEBUG(deviceLogger(), "AppDeviceTrait::checkDevice()");
    if (asynchronous) {
        forgetEarlierArrivals();
        if (!Kestrel::AppCheckThread::start(machine)) {
            KESTREL_ERROR(deviceLogger(), "Cannot create check thread");
            return Kestrel::kResultCheckThreadFailed;
        }
        return 0;
    }
    UpdateTrait* trait = machine.updateTrait;
    if (trait == nullptr)
        return 0;
    if (trait->updateInfo == nullptr)
        return Kestrel::kResultNoUpdateInfo;
    trait->progress(kProgressReadStart, 0);
    const int32_t result = Kestrel::readDeviceInfo(*trait->updateInfo, *trait);
    trait->progress(kProgressReadEnd, result);
    return result;
}

int32_t AppDeviceTrait::holdActiveCard() {
    AppDeviceTrait* trait = activeTrait.load();
    return trait != nullptr ? trait->holdCard() : Kestrel::kResultOk;
}

int32_t AppDeviceTrait::holdCard() {
    std::string instance;
    {
        std::lock_guard<std::mutex> guard(cardMutex);
        instance = cardInstance;
    }
    if (instance.empty())
        return Kestrel::kResultOk;
    const platform::ModemInhibitor::Outcome outcome = modemInhibitor.hold(instance);
    using platform::ModemManagerResult;
    switch (outcome.result) {
    case ModemManagerResult::ok:
        if (outcome.again)
            KESTREL_INFO(deviceLogger(), "AppDeviceTrait::holdCard(): Inhibited ModemManager again "
                                         "for "
                                             << outcome.modem.physicalDevice << " ("
                                             << outcome.modem.uid << ") after it restarted");
        else if (!outcome.alreadyHeld)
            KESTREL_INFO(deviceLogger(), "AppDeviceTrait::holdCard(): Inhibited ModemManager for "
                                             << outcome.modem.physicalDevice << " ("
                                             << outcome.modem.uid << ")");
        return Kestrel::kResultOk;
    case ModemManagerResult::inProgress:
        // Another updater owns the card: the connection manager's hold on it cannot be taken,
        // which is what a service that cannot be stopped means on Windows.
        KESTREL_ERROR(deviceLogger(),
                      "AppDeviceTrait::holdCard(): The card "
                          << instance
                          << " is already inhibited by another program: " << outcome.detail);
        return Kestrel::kResultServiceStopFailed;
    case ModemManagerResult::absent:
        if (!modemManagerAbsenceLogged)
            KESTREL_INFO(deviceLogger(), "AppDeviceTrait::holdCard(): ModemManager is not "
                                         "running: nothing to inhibit ("
                                             << outcome.detail << ")");
        modemManagerAbsenceLogged = true;
        return Kestrel::kResultOk;
    case ModemManagerResult::notFound:
        KESTREL_INFO(deviceLogger(), "AppDeviceTrait::holdCard(): ModemManager has no modem for "
                                         << instance << ": nothing to inhibit (" << outcome.detail
                                         << ")");
        return Kestrel::kResultOk;
    case ModemManagerResult::probing:
    case ModemManagerResult::failed:
        break;
    }
    // ModemManager knows the card but refused it (unauthorised, failed, no answer, still
    // probing it after the bound): it would probe the ports under the update.
    KESTREL_ERROR(deviceLogger(), "AppDeviceTrait::holdCard(): Cannot inhibit ModemManager for "
                                      << instance << ": " << outcome.detail);
    return Kestrel::kResultServiceStopFailed;
}

void AppDeviceTrait::modemManagerChanged(const platform::ModemInhibitor::Outcome& outcome) {
    if (outcome.result != platform::ModemManagerResult::ok)
        KESTREL_WARN(deviceLogger(), "AppDeviceTrait::modemManagerChanged(): Cannot inhibit "
                                     "ModemManager after it started: "
                                         << outcome.detail);
    else if (outcome.again)
        KESTREL_INFO(deviceLogger(), "AppDeviceTrait::modemManagerChanged(): Inhibited "
                                     "ModemManager again for "
                                         << outcome.modem.physicalDevice << " ("
                                         << outcome.modem.uid << ") after it restarted");
    else
        KESTREL_INFO(deviceLogger(), "AppDeviceTrait::modemManagerChanged(): Inhibited "
                                     "ModemManager for "
                                         << outcome.modem.physicalDevice << " ("
                                         << outcome.modem.uid << ")");
}

void AppDeviceTrait::releaseCard() {
    const platform::ModemInhibitor::Outcome outcome = modemInhibitor.release();
    if (outcome.modem.uid.empty())
        return;
    if (outcome.result == platform::ModemManagerResult::ok)
        KESTREL_INFO(deviceLogger(), "AppDeviceTrait::terminate(): Released ModemManager for "
                                         << outcome.modem.physicalDevice << " ("
                                         << outcome.modem.uid << ")");
    else
        KESTREL_WARN(deviceLogger(),
                     "AppDeviceTrait::terminate(): Releasing ModemManager for "
                         << outcome.modem.physicalDevice
                         << " failed, its inhibition ends with the connection: " << outcome.detail);
}

void AppDeviceTrait::interrupt() {
    KESTREL_DEBUG(deviceLogger(), "AppDeviceTrait::interrupt()");
    modemInhibitor.cancel();
    FfCancel();
    endWaits();
}

void AppDeviceTrait::endWaits() {
    // Whoever still waits learns that the signals are gone.
    std::lock_guard<std::mutex> guard(signalMutex);
    signalsExist = false;
    arrival.condition.notify_all();
    departure.condition.notify_all();
}

int AppDeviceTrait::flashingMode(void* object, bool on) {
    DeviceTrait::flashingMode(object, on);
    if (!on) {
        if (sleepInhibitor.release())
            KESTREL_INFO(deviceLogger(),
                         "AppDeviceTrait::flashingMode(): Sleep and shutdown allowed again");
        return 0;
    }
    const platform::SleepInhibitor::Outcome outcome = sleepInhibitor.take(kSleepInhibitReason);
    switch (outcome.result) {
    case platform::InhibitResult::taken:
        if (!outcome.alreadyHeld)
            KESTREL_INFO(deviceLogger(), "AppDeviceTrait::flashingMode(): Sleep and shutdown "
                                         "inhibited while the card is flashed");
        break;
    case platform::InhibitResult::absent:
        KESTREL_INFO(deviceLogger(), "AppDeviceTrait::flashingMode(): No logind to inhibit sleep "
                                     "and shutdown: nothing to take ("
                                         << outcome.detail << ")");
        break;
    case platform::InhibitResult::failed:
        KESTREL_WARN(deviceLogger(), "AppDeviceTrait::flashingMode(): Cannot inhibit sleep and "
                                     "shutdown: "
                                         << outcome.detail);
        break;
    }
    return 0;
}

int AppDeviceTrait::terminate() {
    KESTREL_DEBUG(deviceLogger(), "AppDeviceTrait::terminate()");
    sleepInhibitor.release();
    FfShutdown();
    NwTerminate();
    NwLeaveExclusiveMode();
    endWaits();
    AppDeviceTrait* self = this;
    activeTrait.compare_exchange_strong(self, nullptr);
    releaseCard();
    const bool started = setLmService(true);
    KESTREL_DEBUG(deviceLogger(), "AppDeviceTrait::terminate(): Starting of CmxService suceeded = "
                                      << (started ? 1 : 0));
    if (!started)
        KESTREL_DEBUG(deviceLogger(), "AppDeviceTrait::terminate(): Starting of CmxService failed: "
                                          << serviceError);
    return 0;
}

bool AppDeviceTrait::setLmService(bool start) {
    uint32_t error = 0;
    const auto manager = platform::ServiceManager::connect(error);
    if (!manager) {
        serviceError = error;
        KESTREL_DEBUG(deviceLogger(),
                      "AppDeviceTrait::setLmService: OpenSCManager failed: " << error);
        return false;
    }
    error = manager->openService(kServiceName);
    if (error != 0) {
        serviceError = error;
        KESTREL_DEBUG(deviceLogger(),
                      "AppDeviceTrait::setLmService: OpenService failed: " << error);
        return false;
    }
    error = start ? manager->startService(kServiceName) : manager->stopService(kServiceName);
    if (error != 0) {
        serviceError = error;
        if (start)
            KESTREL_DEBUG(
                deviceLogger(),
                "AppDeviceTrait::setLmService: StartServicefailed to start the service: " << error);
        else
            KESTREL_DEBUG(
                deviceLogger(),
                "AppDeviceTrait::setLmService: ControlServicefailed to pause the service: "
                    << error);
        return false;
    }
    return true;
}
