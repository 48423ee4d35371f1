#include "GuiTestSupport.h"

#include "app/UpdateInfo.h"
#include "gui/ErrorDialog.h"
#include "gui/Translation.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RecordingTraits.h"

#include <gtest/gtest.h>

namespace {

using Kestrel::ErrorDialog;

struct Step {
    uint16_t signal;
    int32_t parameter;
};

class ResultDialog : public guitest::RecordingMachineTest {
protected:
    void SetUp() override {
        RecordingMachineTest::SetUp();
        machine->init();
    }
    void TearDown() override {
        if (dialog != nullptr)
            dialog->Destroy();
        RecordingMachineTest::TearDown();
    }
    void walk(std::initializer_list<Step> steps) {
        for (const Step& step : steps)
            machine->dispatch(step.signal, step.parameter);
    }
    void open(int dialogId, int stateNumber) {
        dialog = new ErrorDialog(nullptr, dialogId, Kestrel::kApplicationName, stateNumber);
        dialog->Show();
    }

    ErrorDialog* dialog = nullptr;
};

TEST_F(ResultDialog, UpdateFailureThatMayBeRetriedReturnsToTheUpdatePage) {
    walk({{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}, {sigError, 265}});
    ASSERT_TRUE(machine->isIn(StateMachine::kUpdateFailure));
    open(ErrorDialog::kErrorDialog, StateMachine::kUpdateFailure);
    EXPECT_TRUE(dialog->retryAllowed());
    EXPECT_EQ(dialog->descriptionText(), Kestrel::guiText("Update completed!"));
    EXPECT_EQ(dialog->hintText(),
              Kestrel::guiText("Please repeat the update in order to finalise this process."));
    dialog->clickOk();
    EXPECT_TRUE(machine->isIn(StateMachine::kPromptUser));
}

TEST_F(ResultDialog, UpdateFailureOfAnyOtherErrorEndsTheProgram) {
    walk({{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}, {sigError, 277}});
    open(ErrorDialog::kErrorDialog, StateMachine::kUpdateFailure);
    EXPECT_FALSE(dialog->retryAllowed());
    EXPECT_EQ(dialog->descriptionText(),
              Kestrel::guiText("There was an error while updating your device. The update of the "
                               "device is incomplete."));
    EXPECT_NE(dialog->hintText().Find("(code 115)"), wxNOT_FOUND) << dialog->hintText();
    dialog->clickOk();
    EXPECT_TRUE(machine->isIn(StateMachine::kTerminate));
}

TEST_F(ResultDialog, DeviceUnusableOkEndsTheProgramEvenWhenARetryWouldBeAllowed) {
    walk({{sigArrival, 0}, {sigError, 300}});
    ASSERT_TRUE(machine->isIn(StateMachine::kDeviceUnusable));
    open(ErrorDialog::kErrorDialog, StateMachine::kDeviceUnusable);
    EXPECT_TRUE(dialog->retryAllowed());
    EXPECT_EQ(dialog->descriptionText(),
              Kestrel::guiText("The currently inserted device can not be updated."));
    dialog->clickOk();
    EXPECT_TRUE(machine->isIn(StateMachine::kTerminate));
}

TEST_F(ResultDialog, SuccessNamesTheCompletedUpdateAndOkEndsTheProgram) {
    updater.updateInfo->deviceFirmware.version.set("3.19.0");
    updater.updateInfo->deviceFirmware.version.set("3.20.1");
    walk({{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}, {sigDone, 0}});
    ASSERT_TRUE(machine->isIn(StateMachine::kUpdateSuccess));
    LogCapture log("kestrel.windows.error");
    open(ErrorDialog::kSuccessDialog, StateMachine::kUpdateSuccess);
    EXPECT_TRUE(log.contains("Info: (update (device (fw v3.20.1[v3.19.0]) (sw --)), Vendor Id: 0, "
                             "Product Id: 0 (pck (fw --) (sw --)) (hints))"));
    EXPECT_EQ(dialog->descriptionText(), Kestrel::guiText("Update completed!"));
    EXPECT_EQ(dialog->hintText(),
              Kestrel::guiText("The update was completed successfully.") + " " +
                  Kestrel::guiText("To complete the update, the device needs to be removed "
                                   "from the computer."));
    EXPECT_FALSE(guitest::screenshot(dialog, "success-dialog").empty());
    dialog->clickOk();
    EXPECT_TRUE(machine->isIn(StateMachine::kTerminate));
}

TEST_F(ResultDialog, CloseRequestsAreSwallowed) {
    walk({{sigArrival, 0}, {sigError, 258}});
    open(ErrorDialog::kErrorDialog, StateMachine::kDeviceUnusable);
    dialog->Close();
    guitest::pump(20);
    EXPECT_TRUE(dialog->IsShown());
    EXPECT_TRUE(machine->isIn(StateMachine::kDeviceUnusable));
    EXPECT_EQ(dialog->descriptionText(),
              Kestrel::guiText("Your device is not supported by this application."));
    EXPECT_FALSE(guitest::screenshot(dialog, "error-dialog").empty());
}

} // namespace
