#include "app/DeviceTrait.h"

#include "app/TraitLog.h"

using Kestrel::fsmLogger;
using Kestrel::HexPointer;

int DeviceTrait::initialise() {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::initialise()");
    return 0;
}

int DeviceTrait::deviceObject(bool flag, int* object) {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::deviceObject(" << (flag ? 1 : 0) << ")");
    if (object != nullptr)
        *object = 0;
    return 0;
}

void DeviceTrait::releaseObject(void* object) {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::releaseObject(" << HexPointer{object} << ")");
}

std::string DeviceTrait::diagPort(void* object) {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::diagPort(" << HexPointer{object} << ")");
    return "diagPort";
}

std::string DeviceTrait::appPort(void* object) {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::appPort(" << HexPointer{object} << ")");
    return "appPort";
}

int DeviceTrait::checkDevice(bool asynchronous) {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::checkDevice(" << (asynchronous ? 1 : 0) << ")");
    return 0;
}

int DeviceTrait::flashingMode(void* object, bool on) {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::flashingMode(" << HexPointer{object} << ", "
                                                            << (on ? 1 : 0) << ")");
    return 0;
}

int DeviceTrait::waitForArrival() {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::waitForArrival()");
    return 0;
}

int DeviceTrait::waitForDeparture() {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::waitForDeparture()");
    return 0;
}

int DeviceTrait::terminate() {
    KESTREL_DEBUG(fsmLogger(), "DeviceTrait::terminate()");
    return 0;
}

DeviceTrait& defaultDeviceTrait() {
    static DeviceTrait trait;
    return trait;
}
