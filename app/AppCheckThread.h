#pragma once

#include "flasher/Ff.h"

#include <cstdint>

class StateMachine;
struct UpdateInfo;
struct UpdateTrait;

namespace Kestrel {

// The device check: reads the device and the package, compares them, checks the LM code and
// ends with one event into the workflow, sigDone or sigError with the result code. It runs on a
// detached thread of its own and dispatches its event from there.
class AppCheckThread {
public:
    explicit AppCheckThread(StateMachine& machine);

    // Creates the detached thread and runs the check on it; false when it cannot be created.
    static bool start(StateMachine& machine);

    // The whole check.
    int entry();

private:
    StateMachine& machine;
};

// Reads the device's firmware and software information into `info`, notifying `trait` that the
// read starts: 0 or an application result code. A failure keeps what `info` held.
int32_t readDeviceInfo(UpdateInfo& info, UpdateTrait& trait);

// Reads the package named by the window trait's modulePath("KsFirmware.pck") into `info`.
int32_t readPackageVersions(StateMachine& machine, UpdateInfo& info);

// Sets the hint bits older, newer or same from the firmware time stamps of device and package.
void computeHints(UpdateInfo& info);

// 0, or 258 when the device's LM code is not one this build supports.
int32_t checkLmCode(const UpdateInfo& info);

// FfGetInfoDevice with its warnings about the LM code, product name, revision and time stamp
// ignored, and the result mapped to an application code.
int32_t deviceInformation(int32_t model, int32_t kind, const wchar_t* diag, const wchar_t* app,
                          FfInfoRecord& record, int32_t* notNormal);

// The two halves of deviceInformation: the four ignored warning bits (an LM-code warning also
// empties the record's LM code), and the application code of what remains.
uint32_t ignoreDeviceWarnings(uint32_t result, FfInfoRecord& record);
int32_t mapDeviceInfoResult(uint32_t result);

} // namespace Kestrel
