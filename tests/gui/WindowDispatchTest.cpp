#include "GuiTestSupport.h"

#include "app/UpdateInfo.h"
#include "gui/AppWindowTrait.h"
#include "gui/ErrorDialog.h"
#include "gui/MainWindow.h"
#include "gui/ProgressDialog.h"
#include "gui/Translation.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RecordingTraits.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Kestrel::Application;
using Kestrel::execNoInterface;
using Kestrel::execNormal;
using Kestrel::execUnattended;

struct Step {
    uint16_t signal;
    int32_t parameter;
};

// Drives the window dispatch of the application object with recording device and update
// traits behind a fresh workflow machine.
class WindowDispatch : public guitest::RecordingMachineTest {
protected:
    void SetUp() override {
        RecordingMachineTest::SetUp();
        Application& application = guitest::app();
        application.execMode = execNormal;
        application.exitCode = 0;
        application.firstMainWindowOpen = true;
    }
    void TearDown() override {
        Application& application = guitest::app();
        application.closeWindow(5);
        application.closeWindow(3);
        application.closeWindow(1);
        RecordingMachineTest::TearDown();
    }

    void reach(std::initializer_list<Step> steps) {
        machine->init();
        for (const Step& step : steps)
            machine->dispatch(step.signal, step.parameter);
        journal.take();
    }
    void reachUpdateFailure(int32_t error) {
        reach({{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}, {sigError, error}});
        ASSERT_TRUE(machine->isIn(StateMachine::kUpdateFailure));
    }
    void handle(int32_t kind, int32_t arg1, int32_t arg2 = 0, int32_t arg3 = 0) {
        TraitEvent event(kind, arg1, arg2, arg3);
        guitest::app().onTraitEvent(event);
    }
    bool journaled(const std::string& entry) {
        const auto entries = journal.take();
        return std::find(entries.begin(), entries.end(), entry) != entries.end();
    }
};

TEST_F(WindowDispatch, UnknownMissingAndUnrefreshableWindowsGiveTheirResultCodes) {
    Application& application = guitest::app();
    LogCapture log("kestrel.app.main");
    EXPECT_EQ(application.openWindow(3, 7, 11), 291);
    EXPECT_TRUE(log.contains("Window 7 not found"));
    EXPECT_EQ(application.errorDialog, nullptr);
    EXPECT_EQ(application.openWindow(5, 2, 6), 291) << "the main window is not open yet";
    EXPECT_EQ(application.openWindow(9, 0, 1), 291);
    EXPECT_TRUE(log.contains("Cannot open window 9"));
    EXPECT_EQ(application.refreshWindow(2), 290);
    EXPECT_EQ(application.refreshWindow(5), 292);
    EXPECT_TRUE(log.contains("Cannot refresh window 5"));
    EXPECT_EQ(application.closeWindow(9), 291);
    EXPECT_TRUE(log.contains("Cannot close window 9"));
}

TEST_F(WindowDispatch, ClosingWindowsThatAreNotOpenSucceedsAndDoesNothing) {
    Application& application = guitest::app();
    EXPECT_EQ(application.closeWindow(3), 0);
    EXPECT_EQ(application.closeWindow(4), 0);
    EXPECT_EQ(application.closeWindow(5), 0);
    EXPECT_EQ(application.closeWindow(2), 0);
    EXPECT_EQ(application.mainWindow, nullptr);
}

TEST_F(WindowDispatch, WindowsAreCreatedOnceReusedAndDestroyedOnClose) {
    Application& application = guitest::app();
    EXPECT_EQ(application.openWindow(1, 0, 1), 0);
    Kestrel::MainWindow* main = application.mainWindow;
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(main->IsShown());
    EXPECT_FALSE(main->updatePageShown());
    EXPECT_EQ(application.openWindow(2, 0, 6), 0);
    EXPECT_EQ(application.mainWindow, main);
    EXPECT_TRUE(main->updatePageShown());
    EXPECT_EQ(application.openWindow(5, 2, 6), 0);
    ASSERT_NE(application.progressDialog, nullptr);
    EXPECT_TRUE(application.progressDialog->IsShown());
    EXPECT_FALSE(main->IsEnabled()) << "the progress dialog blocks the main window";
    EXPECT_EQ(application.closeWindow(5), 0);
    EXPECT_EQ(application.progressDialog, nullptr);
    guitest::pump(20);
    EXPECT_TRUE(main->IsEnabled());
    EXPECT_EQ(application.closeWindow(1), 0);
    EXPECT_EQ(application.mainWindow, nullptr);
}

TEST_F(WindowDispatch, WelcomePageRequestedAgainUnattendedGives259AndCancels) {
    Application& application = guitest::app();
    application.execMode = execUnattended;
    reach({{sigDone, 0}});
    ASSERT_TRUE(machine->isIn(StateMachine::kNoCard));
    handle(ctetOpenWindow, 1, 0, 1);
    EXPECT_EQ(application.exitCode, 0);
    EXPECT_TRUE(machine->isIn(StateMachine::kNoCard));
    handle(ctetOpenWindow, 1, 0, 3);
    EXPECT_EQ(application.exitCode, 259);
    EXPECT_TRUE(machine->isIn(StateMachine::kTerminate));
    EXPECT_TRUE(journaled("terminateApp"));
}

TEST_F(WindowDispatch, WelcomePageRequestedAgainInNormalModeIsShownAgain) {
    Application& application = guitest::app();
    EXPECT_EQ(application.openWindow(1, 0, 1), 0);
    EXPECT_EQ(application.openWindow(1, 0, 3), 0);
    EXPECT_EQ(application.exitCode, 0);
}

TEST_F(WindowDispatch, RecoveryUpdateEnding265IsRepeatedAtOnceWithoutDialog) {
    Application& application = guitest::app();
    reachUpdateFailure(265);
    updater.updateInfo->recovery = false;
    EXPECT_EQ(application.openWindow(3, 0, 11), 265);
    EXPECT_EQ(application.errorDialog, nullptr);
    EXPECT_TRUE(machine->isIn(StateMachine::kUpdate));
    EXPECT_TRUE(journaled("startUpdate"));
}

TEST_F(WindowDispatch, RecoveryUpdateEnding265UnattendedIsRepeatedAndNotCancelled) {
    Application& application = guitest::app();
    application.execMode = execUnattended;
    reachUpdateFailure(265);
    updater.updateInfo->recovery = false;
    handle(ctetOpenWindow, 3, 0, 11);
    EXPECT_EQ(application.exitCode, 265);
    EXPECT_EQ(application.errorDialog, nullptr);
    EXPECT_TRUE(machine->isIn(StateMachine::kUpdate))
        << "the automatic answer of the error window is ignored by the repeated update";
    EXPECT_TRUE(journaled("startUpdate"));
}

TEST_F(WindowDispatch, RecoveryUpdateEnding265StillInRecoveryShows283) {
    Application& application = guitest::app();
    reachUpdateFailure(265);
    updater.updateInfo->recovery = true;
    EXPECT_EQ(application.openWindow(3, 0, 11), 283);
    EXPECT_EQ(machine->errorCode, 283);
    EXPECT_NE(application.errorDialog, nullptr);
    EXPECT_TRUE(machine->isIn(StateMachine::kUpdateFailure));
}

TEST_F(WindowDispatch, ErrorWindowCarriesTheWorkflowsErrorIntoTheExitCode) {
    Application& application = guitest::app();
    application.execMode = execUnattended;
    reachUpdateFailure(277);
    handle(ctetOpenWindow, 3, 0, 11);
    EXPECT_EQ(application.exitCode, 277);
    EXPECT_EQ(application.errorDialog, nullptr) << "unattended modes answer instead";
    EXPECT_TRUE(machine->isIn(StateMachine::kTerminate));
}

TEST_F(WindowDispatch, ProgressForAMissingDialogIsDroppedAndTheEndOfUpdateBecomesASignal) {
    Application& application = guitest::app();
    reach({{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}});
    handle(ctetProgress, 9, 0);
    EXPECT_TRUE(machine->isIn(StateMachine::kUpdate));
    handle(ctetProgress, 3, 300);
    EXPECT_TRUE(machine->isIn(StateMachine::kUpdateFailure));
    EXPECT_EQ(machine->errorCode, 300);
    EXPECT_EQ(application.progressDialog, nullptr);
}

TEST_F(WindowDispatch, EndOfUpdateWithResult0IsSigDone) {
    reach({{sigArrival, 0}, {sigDone, 0}, {sigUpdate, 0}});
    handle(ctetProgress, 3, 0);
    EXPECT_TRUE(machine->isIn(StateMachine::kUpdateSuccess));
}

TEST_F(WindowDispatch, WithoutInterfaceNothingIsShownAndTheWorkflowIsAnswered) {
    Application& application = guitest::app();
    application.execMode = execNoInterface;
    reach({{sigArrival, 0}});
    handle(ctetOpenWindow, 1, 0, 1);
    ASSERT_NE(application.mainWindow, nullptr);
    EXPECT_FALSE(application.mainWindow->IsShown());
    handle(ctetOpenWindow, 5, 2, 6);
    EXPECT_EQ(application.progressDialog, nullptr);
    machine->dispatch(sigDone);
    ASSERT_TRUE(machine->isIn(StateMachine::kPromptUser));
    handle(ctetOpenWindow, 2, 0, 6);
    EXPECT_TRUE(machine->isIn(StateMachine::kUpdate));
    EXPECT_FALSE(application.mainWindow->IsShown());
    handle(ctetProgress, 3, 0);
    ASSERT_TRUE(machine->isIn(StateMachine::kUpdateSuccess));
    handle(ctetOpenWindow, 4, 2, 12);
    EXPECT_EQ(application.errorDialog, nullptr);
    EXPECT_TRUE(machine->isIn(StateMachine::kTerminate));
    EXPECT_EQ(application.exitCode, 0);
}

TEST_F(WindowDispatch, RefreshOfTheUpdatePageUnattendedClicksUpdateAndClearsTheExitCode) {
    Application& application = guitest::app();
    application.execMode = execUnattended;
    reach({{sigArrival, 0}, {sigDone, 0}});
    application.openWindow(2, 0, 6);
    application.exitCode = 265;
    handle(ctetRefreshWindow, 2);
    EXPECT_TRUE(machine->isIn(StateMachine::kUpdate));
    EXPECT_EQ(application.exitCode, 0);
}

TEST_F(WindowDispatch, TraitRequestsArePostedAndCarriedOutOnTheGuiThread) {
    Application& application = guitest::app();
    Kestrel::AppWindowTrait trait;
    EXPECT_EQ(trait.openWindow(1, 0, 1), 0);
    EXPECT_EQ(application.mainWindow, nullptr) << "nothing happens before the event is handled";
    guitest::pump(20);
    ASSERT_NE(application.mainWindow, nullptr);

    trait.powerFromWallOutlet(true, 40);
    EXPECT_TRUE(updater.updateInfo->hasHint(HintBattery));
    guitest::pump(20);
    EXPECT_TRUE(application.mainWindow->onBattery());
    trait.powerFromWallOutlet(false, 100);
    EXPECT_FALSE(updater.updateInfo->hasHint(HintBattery));
    guitest::pump(20);
    EXPECT_FALSE(application.mainWindow->onBattery());

    trait.postWindowEvent(1, ctetEnableNext);
    guitest::pump(20);
    EXPECT_TRUE(application.mainWindow->nextEnabled());
    EXPECT_EQ(application.mainWindow->prompt(), Kestrel::guiText("To continue, click \"Next\"."));
    trait.postWindowEvent(1, ctetDisableNext);
    guitest::pump(20);
    EXPECT_FALSE(application.mainWindow->nextEnabled());

    trait.closeWindow(1);
    guitest::pump(20);
    EXPECT_EQ(application.mainWindow, nullptr);
}

TEST_F(WindowDispatch, UnknownEventKindsAreLoggedAsErrors) {
    LogCapture log("kestrel.app.main");
    handle(42, 0);
    EXPECT_TRUE(log.contains("Unknown event (code 42)"));
}

TEST(ExitCodes, ResultCodesMapToTheInstallersCategories) {
    const std::pair<int, int> expected[] = {
        {0, 0},   {265, 0}, {266, 0},  {258, 2}, {277, 2},
        {283, 2}, {278, 3}, {314, 3},  {259, 4}, {270, 4},
        {272, 4}, {295, 5}, {297, 5},  {306, 5}, {296, 1},
        {307, 3}, {284, 1}, {4714, 1}, {257, 1}, {static_cast<int>(0x20000028), 1},
        {-1, 1},
    };
    for (const auto& [code, exit] : expected)
        EXPECT_EQ(Application::mapExitCode(code), exit) << code;
}

} // namespace
