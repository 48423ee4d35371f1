#pragma once

#include "app/ErrorCodes.h"
#include "app/QHsm.h"
#include "app/WorkerThreads.h"

#include <cstdint>
#include <mutex>
#include <string>

struct WindowTrait;
struct UpdateTrait;
struct DeviceTrait;

// The workflow's signals, after the engine's four.
enum WorkflowSignal : uint16_t {
    sigArrival = 4,
    sigDeparture = 5,
    sigReset = 6,
    sigCancel = 7,
    sigError = 8,
    sigUpdate = 9,
    sigDone = 10,
    sigSleep = 11,
    sigRetry = 12,
};

// Window numbers that the workflow opens.
enum WindowNumber : int {
    kWindowWelcome = 1,
    kWindowUpdate = 2,
    kWindowError = 3,
    kWindowSuccess = 4,
    kWindowProgress = 5,
};

// The workflow of the whole program: initialise, wait for a device, check it, let the user
// update it, report and end. It acts only through its traits and learns only from signals.
// Dispatches may come from several threads; one recursive lock keeps them from overlapping and
// lets an entry action dispatch on the same thread.
class StateMachine : public QHsm {
public:
    // States in the order of their numbers (1 to 13).
    enum StateNumber : int {
        kInitialisation = 1,
        kInitFailure,
        kNoCard,
        kTerminate,
        kDeviceInserted,
        kCheckDevice,
        kDeviceUnusable,
        kPromptUser,
        kUpdate,
        kWaitForDevice,
        kUpdateFailure,
        kUpdateSuccess,
        kSleepAfterUpdate,
    };

    // The one machine of the program.
    static StateMachine& instance();

    // Machines besides the instance exist only in tests.
    StateMachine();

    void init();
    void dispatch(const HsmEvent& event);
    void dispatch(uint16_t signal, int32_t parameter = 0);
    bool isIn(StateHandler state);
    bool isIn(StateNumber state);

    // The state's name for logs, "<UNKNOWN-STATE>" for any other handler.
    static const char* stateName(StateHandler state);
    // Null for a number outside 1 to 13, which no state is in.
    static StateHandler handlerOf(StateNumber state);
    // 0 for a handler that is not one of the thirteen states.
    static int stateNumber(StateHandler state);
    // The signal's name for logs, "unknownEnumValue(N)" past the workflow's signals.
    static std::string signalName(uint16_t signal);

    StateResult initial(const HsmEvent* event);
    StateResult initialisation(const HsmEvent* event);
    StateResult initFailure(const HsmEvent* event);
    StateResult noCard(const HsmEvent* event);
    StateResult terminate(const HsmEvent* event);
    StateResult deviceInserted(const HsmEvent* event);
    StateResult checkDevice(const HsmEvent* event);
    StateResult deviceUnusable(const HsmEvent* event);
    StateResult promptUser(const HsmEvent* event);
    StateResult update(const HsmEvent* event);
    StateResult waitForDevice(const HsmEvent* event);
    StateResult updateFailure(const HsmEvent* event);
    StateResult updateSuccess(const HsmEvent* event);
    StateResult sleepAfterUpdate(const HsmEvent* event);

    int32_t errorCode = 0;
    WindowTrait* windowTrait;
    UpdateTrait* updateTrait;
    DeviceTrait* deviceTrait;
    // The check and update threads that dispatch into this machine.
    Kestrel::WorkerThreads workers;

private:
    void openWindow(int window, int parent, StateNumber opener);
    bool updateTraitUsable() const;

    std::recursive_mutex dispatchLock;
};

// The update trait or its record failed to come into being, so no update can start.
constexpr int32_t kErrorNoUpdateTrait = Kestrel::kResultNoUpdateInfo;
