#pragma once

#include "app/util/Log.h"

#include "app/StateMachine.h"
#include "gui/Application.h"
#include "tests/support/RecordingTraits.h"

#include <gtest/gtest.h>

#include <wx/window.h>

#include <string>

// The test program runs one application object on a display of its own (an Xvfb server it
// starts when DISPLAY is not set) and a simulated machine in a temporary folder.
namespace guitest {

Kestrel::Application& app();
// The simulated machine's folder.
const std::string& machineRoot();

// Lets the framework handle posted events, idle work and deferred destruction, for about `ms`
// real milliseconds so that windows get mapped and painted.
void pump(int ms = 50);

// Gives the workflow machine a fresh start (the program has one static machine).
StateMachine& freshMachine();

// Saves what `window` shows on the display as KESTREL_SCREENSHOT_DIR/name.png; the path.
std::string screenshot(wxWindow* window, const std::string& name);

// Starts Xvfb when there is no display; kept for the life of the program.
void ensureDisplay();

// A fresh workflow machine whose traits write every call into `journal`. A derived fixture
// closes its windows before TearDown, which lets the framework handle their destruction and
// gives the machine its default traits back.
class RecordingMachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine = &freshMachine();
        machine->windowTrait = &windows;
        machine->deviceTrait = &device;
        machine->updateTrait = &updater;
    }
    void TearDown() override {
        pump(20);
        machine->windowTrait = &defaultWindowTrait();
        machine->deviceTrait = &defaultDeviceTrait();
        machine->updateTrait = &defaultUpdateTrait();
    }

    StateMachine* machine = nullptr;
    Journal journal;
    RecordingWindowTrait windows{journal};
    RecordingDeviceTrait device{journal};
    RecordingUpdateTrait updater{journal};
};

} // namespace guitest
