#pragma once

#include <string>

// What the workflow asks of the device and its detection. Every operation has a default that
// only logs its call and returns a neutral value.
struct DeviceTrait {
    virtual ~DeviceTrait() = default;
    virtual int initialise();
    virtual int deviceObject(bool flag, int* object);
    virtual void releaseObject(void* object);
    virtual std::string diagPort(void* object);
    virtual std::string appPort(void* object);
    virtual int checkDevice(bool asynchronous);
    virtual int flashingMode(void* object, bool on);
    virtual int waitForArrival();
    virtual int waitForDeparture();
    virtual int terminate();
};

DeviceTrait& defaultDeviceTrait();
