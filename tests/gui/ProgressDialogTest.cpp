#include "GuiTestSupport.h"

#include "gui/ProgressDialog.h"
#include "gui/Translation.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RecordingTraits.h"

#include <gtest/gtest.h>

namespace {

using Kestrel::guiText;
using Kestrel::ProgressDialog;

class Progress : public guitest::RecordingMachineTest {
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
    void enterUpdate() {
        machine->dispatch(sigArrival);
        machine->dispatch(sigDone);
        machine->dispatch(sigUpdate);
        ASSERT_TRUE(machine->isIn(StateMachine::kUpdate));
    }
    void open() {
        dialog = new ProgressDialog(nullptr);
        dialog->Show();
    }

    ProgressDialog* dialog = nullptr;
};

TEST_F(Progress, StartsInitialisingAndShowsTheWarningOnlyDuringAnUpdate) {
    open();
    EXPECT_EQ(dialog->phaseText(), guiText("Initialising"));
    EXPECT_EQ(dialog->actionText(), guiText("Initialising"));
    EXPECT_EQ(dialog->barValue(), 1);
    EXPECT_FALSE(dialog->warningShown());
    dialog->Destroy();
    enterUpdate();
    open();
    EXPECT_TRUE(dialog->warningShown());
}

TEST_F(Progress, PhasesSwitchBetweenAnimationAndTheDeterminateBar) {
    open();
    dialog->update(2, 0);
    EXPECT_EQ(dialog->phaseText(), guiText("Preparing update"));
    EXPECT_TRUE(dialog->animating());
    dialog->update(5, 0);
    EXPECT_EQ(dialog->phaseText(), guiText("Updating device"));
    EXPECT_EQ(dialog->actionText(), guiText("Sending preloader"));
    EXPECT_FALSE(dialog->animating());
    dialog->update(9, 0);
    EXPECT_EQ(dialog->phaseText(), guiText("Updating device"));
    EXPECT_EQ(dialog->actionText(), guiText("Sending firmware"));
    EXPECT_FALSE(dialog->animating());
    dialog->update(10, 0);
    EXPECT_EQ(dialog->phaseText(), guiText("Finalising update"));
    EXPECT_TRUE(dialog->animating());
}

TEST_F(Progress, BlocksAdvanceTheBarByTheAnnouncedShare) {
    open();
    dialog->update(9, 0);
    dialog->update(13, 0x005A0010);
    dialog->update(14, 0);
    EXPECT_EQ(dialog->barValue(), 5);
    dialog->update(14, 0);
    EXPECT_EQ(dialog->barValue(), 11);
    dialog->update(14, 3);
    EXPECT_EQ(dialog->barValue(), 28);
    // The end of a download announces no blocks; the bar keeps its step and position.
    dialog->update(13, 0);
    dialog->update(14, 1);
    EXPECT_EQ(dialog->barValue(), 33);
    dialog->update(13, 0x00640001);
    dialog->update(14, 5);
    EXPECT_EQ(dialog->barValue(), ProgressDialog::kBarRange) << "the bar stops at its range";
    // A second pass animates, then continues from where the bar stood.
    dialog->update(10, 0);
    EXPECT_TRUE(dialog->animating());
    dialog->update(9, 0);
    EXPECT_FALSE(dialog->animating());
    EXPECT_EQ(dialog->barValue(), ProgressDialog::kBarRange);
}

TEST_F(Progress, PhaseOneCodesChangeOnlyTheActionLine) {
    open();
    dialog->update(2, 0);
    dialog->update(7, 0);
    EXPECT_EQ(dialog->phaseText(), guiText("Preparing update"));
    EXPECT_EQ(dialog->actionText(), guiText("Checking boot block"));
    dialog->update(11, 0);
    EXPECT_EQ(dialog->actionText(), guiText("Checking boot block"));
    dialog->update(99, 0);
    EXPECT_EQ(dialog->phaseText(), guiText("Preparing update"));
    EXPECT_EQ(dialog->actionText(), "Unknown notification (code 99)");
}

TEST_F(Progress, ResetNotificationSendsSigResetEvenDuringTheCheck) {
    machine->dispatch(sigArrival);
    ASSERT_TRUE(machine->isIn(StateMachine::kCheckDevice));
    open();
    LogCapture log("kestrel.fsm");
    dialog->update(12, 0);
    EXPECT_EQ(dialog->actionText(), guiText("Resetting device"));
    EXPECT_TRUE(
        log.contains("StateMachine::StateMachine::deviceInserted: Ignoring event sigReset"));
    EXPECT_TRUE(machine->isIn(StateMachine::kCheckDevice));
    machine->dispatch(sigDone);
    machine->dispatch(sigUpdate);
    dialog->update(12, 0);
    EXPECT_TRUE(machine->isIn(StateMachine::kWaitForDevice));
}

TEST_F(Progress, CloseRequestsAreRefused) {
    open();
    dialog->Close();
    guitest::pump(20);
    EXPECT_TRUE(dialog->IsShown());
}

TEST_F(Progress, Screenshot) {
    enterUpdate();
    open();
    dialog->update(9, 0);
    dialog->update(13, 0x005A0010);
    dialog->update(14, 6);
    EXPECT_FALSE(guitest::screenshot(dialog, "progress-update").empty());
}

} // namespace
