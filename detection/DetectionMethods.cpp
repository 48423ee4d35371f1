#include "detection/DetectionMethods.h"

#include "detection/CardDatabase.h"
#include "detection/CurrentCard.h"
#include "detection/WideText.h"
#include "detection/XLog.h"

#include <cstdio>

namespace detection {
namespace {

constexpr uint32_t kMethodPolling = 1;
constexpr uint32_t kMethodEventBased = 2;
constexpr uint32_t kMethodDeviceNamePolling = 3;
constexpr uint32_t kMethodDeviceNameEventBased = 4;

// What differs between the four kinds: the function named in the messages, the word for the
// port and which numbers are complete methods or methods with a mask.
struct MethodKind {
    const char* function;
    const char* word;
    bool deviceNameMethods;
};

constexpr MethodKind kModem{"DetermineModemDetectionMethod", "modem", false};
constexpr MethodKind kAppPort{"DetermineAppPortDetectionMethod", "application port", true};
constexpr MethodKind kApp2Port{"DetermineApp2PortDetectionMethod", "application2 port", true};
constexpr MethodKind kDbgPort{"DetermineDbgPortDetectionMethod", "debug port", false};

bool isComplete(const MethodKind& kind, unsigned number) {
    return number == kMethodPolling ||
           (kind.deviceNameMethods && number == kMethodDeviceNamePolling);
}

bool takesMask(const MethodKind& kind, unsigned number) {
    return number == kMethodEventBased ||
           (kind.deviceNameMethods && number == kMethodDeviceNameEventBased);
}

void determine(const MethodKind& kind, OptionalText CardInfoRecord::*field, uint32_t& method,
               uint32_t& mask) {
    method = 0;
    mask = 0;
    if (!haveCard()) {
        XLogAt(2, "Nw: %s(): Warning, no card is detected", kind.function);
        return;
    }
    const CardInfoRecord& record = CardRecord(currentCard().cardIndex);
    const OptionalText& value = record.*field;
    if (!value)
        return;
    const std::string card = utf8FromUtf16(record.name);
    method = kMethodPolling;
    if (value->empty()) {
        XLogAt(2,
               "Nw: %s(): Warning, %s detection string for card %s is empty, using default "
               "polling method",
               kind.function, kind.word, card.c_str());
        return;
    }
    const std::string text = utf8FromUtf16(*value);
    unsigned number = 0;
    if (std::sscanf(text.c_str(), "0x%x", &number) != 1) {
        XLogAt(2,
               "Nw: %s(): Warning, %s detection string for card %s is corrupted, using default "
               "polling method",
               kind.function, kind.word, card.c_str());
        return;
    }
    if (isComplete(kind, number)) {
        method = number;
        return;
    }
    if (!takesMask(kind, number)) {
        XLogAt(2, "Nw: %s(): Unknown %s detection method (%d), using default polling method",
               kind.function, kind.word, static_cast<int>(number));
        return;
    }
    char parameter[260] = {};
    if (std::sscanf(text.c_str(), "0x%x,%259s", &number, parameter) != 2) {
        XLogAt(2,
               "Nw: %s(): Warning, %s detection string for card %s is corrupted, using default "
               "polling method",
               kind.function, kind.word, card.c_str());
        return;
    }
    unsigned parsedMask = 0;
    if (std::sscanf(parameter, "0x%x", &parsedMask) != 1) {
        XLogAt(2,
               "Nw: %s(): Warning, %s detection parameter for card %s & method %d is corrupted, "
               "using default polling method",
               kind.function, kind.word, card.c_str(), static_cast<int>(number));
        return;
    }
    method = number;
    mask = parsedMask;
}

// The log lines of the application-port kinds, with "Application" or "Application2".
void logAppPortKind(const char* subject, const char* function, uint32_t method, uint32_t mask) {
    switch (method) {
    case 0:
        XLogAt(1, "Nw: %s port detection is disabled", subject);
        break;
    case kMethodPolling:
        XLogAt(1, "Nw: %s port detection method is set to AppPortDetMethodDefaultPolling", subject);
        break;
    case kMethodEventBased:
        XLogAt(1,
               "Nw: %s port detection method is set to AppPortDetMethodDefaultEventBased, "
               "insertion event mask=0x%x",
               subject, mask);
        break;
    case kMethodDeviceNamePolling:
        XLogAt(1, "Nw: %s port detection method is set to AppPortDetMethodBroadcomPolling",
               subject);
        break;
    case kMethodDeviceNameEventBased:
        XLogAt(1,
               "Nw: %s port detection method is set to AppPortDetMethodBroadcomEventBased, "
               "insertion event mask=0x%x",
               subject, mask);
        break;
    default:
        XLogAt(2, "Nw: %s(): Warning, unknown application port detection method (0x%x)", function,
               method);
        break;
    }
}

} // namespace

void DetermineModemDetectionMethod() {
    DetectionMethods& methods = currentCard().methods;
    determine(kModem, &CardInfoRecord::modemDetect, methods.modem, methods.modemMask);
}

void DetermineAppPortDetectionMethod() {
    DetectionMethods& methods = currentCard().methods;
    determine(kAppPort, &CardInfoRecord::appPortDetect, methods.appPort, methods.appPortMask);
}

void DetermineApp2PortDetectionMethod() {
    DetectionMethods& methods = currentCard().methods;
    determine(kApp2Port, &CardInfoRecord::app2PortDetect, methods.app2Port, methods.app2PortMask);
}

void DetermineDbgPortDetectionMethod() {
    DetectionMethods& methods = currentCard().methods;
    determine(kDbgPort, &CardInfoRecord::dbgPortDetect, methods.dbgPort, methods.dbgPortMask);
}

void LogModemDetectionMethod() {
    const DetectionMethods& methods = currentCard().methods;
    switch (methods.modem) {
    case 0:
        XLogAt(1, "Nw: Modem detection is disabled");
        break;
    case kMethodPolling:
        XLogAt(1, "Nw: Modem detection method is set to ModemDetMethodDefaultPolling");
        break;
    case kMethodEventBased:
        XLogAt(1,
               "Nw: Modem detection method is set to ModemDetMethodDefaultEventBased, insertion "
               "event mask=0x%x",
               methods.modemMask);
        break;
    default:
        XLogAt(2, "Nw: LogModemDetectionMethod(): Warning, unknown modem detection method (0x%x)",
               methods.modem);
        break;
    }
}

void LogAppPortDetectionMethod() {
    const DetectionMethods& methods = currentCard().methods;
    logAppPortKind("Application", "LogAppPortDetectionMethod", methods.appPort,
                   methods.appPortMask);
}

void LogApp2PortDetectionMethod() {
    const DetectionMethods& methods = currentCard().methods;
    logAppPortKind("Application2", "LogApp2PortDetectionMethod", methods.app2Port,
                   methods.app2PortMask);
}

void LogDbgPortDetectionMethod() {
    const DetectionMethods& methods = currentCard().methods;
    switch (methods.dbgPort) {
    case 0:
        XLogAt(1, "Nw: Debug port detection is disabled");
        break;
    case kMethodPolling:
        XLogAt(1, "Nw: Debug port detection method is set to DbgPortDetMethodDefaultPolling");
        break;
    case kMethodEventBased:
        XLogAt(1,
               "Nw: Debug port detection method is set to DbgPortDetMethodDefaultEventBased, "
               "insertion event mask=0x%x",
               methods.dbgPortMask);
        break;
    default:
        XLogAt(2,
               "Nw: LogDbgPortDetectionMethod(): Warning, unknown debug port detection method "
               "(0x%x)",
               methods.dbgPort);
        break;
    }
}

void DetermineDetectionMethods() {
    DetermineModemDetectionMethod();
    LogModemDetectionMethod();
    DetermineAppPortDetectionMethod();
    LogAppPortDetectionMethod();
    DetermineApp2PortDetectionMethod();
    LogApp2PortDetectionMethod();
    DetermineDbgPortDetectionMethod();
    LogDbgPortDetectionMethod();
}

} // namespace detection
