#include "GuiTestSupport.h"

#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "gui/MainWindow.h"
#include "app/util/LoggingConfiguration.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

using Kestrel::MainWindow;

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine = &guitest::freshMachine();
        machine->updateTrait = &updater;
        guitest::app().execMode = Kestrel::execNormal;
        guitest::app().firstMainWindowOpen = true;
        ASSERT_EQ(guitest::app().openWindow(2, 0, 6), 0);
        window = guitest::app().mainWindow;
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        guitest::app().closeWindow(2);
        guitest::pump(20);
        machine->updateTrait = &defaultUpdateTrait();
    }
    UpdateInfo& info() { return *updater.updateInfo; }
    void fill() {
        info().modelName = "Velmar QT0880";
        info().deviceFirmware.version.set("3.19.0");
        info().deviceFirmware.detail = "2012-03-01 10:00:00";
        info().package.firmware.version.set("3.20.1");
        info().package.firmware.detail = "2013-01-15 08:30:00";
    }

    StateMachine* machine = nullptr;
    UpdateTrait updater;
    MainWindow* window = nullptr;
};

struct CautionCase {
    const char* name;
    uint32_t hints;
    bool recovery;
    bool rows[MainWindow::kCautionRows];
};

void PrintTo(const CautionCase& scenario, std::ostream* out) {
    *out << scenario.name;
}

class Cautions : public MainWindowTest, public ::testing::WithParamInterface<CautionCase> {};

TEST_P(Cautions, HintsShowTheirRows) {
    const CautionCase& scenario = GetParam();
    info().hints = scenario.hints;
    info().recovery = scenario.recovery;
    window->refresh();
    bool any = false;
    for (int row = 0; row < MainWindow::kCautionRows; ++row) {
        EXPECT_EQ(window->cautionShown(row), scenario.rows[row]) << "row " << row;
        any = any || scenario.rows[row];
    }
    EXPECT_EQ(window->cautionsShown(), any);
}

INSTANTIATE_TEST_SUITE_P(
    MainWindow, Cautions,
    ::testing::Values(
        CautionCase{"RecoveryWithOlderPackageShowsOnlyRecovery",
                    HintOlder,
                    true,
                    {false, false, true, false}},
        CautionCase{
            "NewerPackageOnMainsHidesTheBox", HintNewer, false, {false, false, false, false}},
        CautionCase{"SamePackage", HintSame, false, {false, true, false, false}},
        CautionCase{"OlderOnBattery", HintOlder | HintBattery, false, {true, false, false, true}},
        CautionCase{"RecoveryBitWithoutRecoveryKeepsTheComparison",
                    HintSame | HintRecovery | HintBattery,
                    false,
                    {false, true, true, true}},
        CautionCase{"RecoveryOnBatteryWithSamePackage",
                    HintSame | HintBattery,
                    true,
                    {false, false, true, true}},
        CautionCase{"NewerOnBattery", HintNewer | HintBattery, false, {false, false, false, true}}),
    [](const ::testing::TestParamInfo<CautionCase>& info) { return info.param.name; });

TEST_F(MainWindowTest, RefreshShowsTheDeviceAndHidesSoftwareWithoutVersions) {
    fill();
    window->refresh();
    EXPECT_EQ(window->deviceName(), "Velmar QT0880");
    EXPECT_FALSE(window->softwareShown());
    info().package.software.version.set("1.2.3");
    window->refresh();
    EXPECT_TRUE(window->softwareShown());
}

TEST_F(MainWindowTest, RefreshLogsTheDeviceAndThePackageInTheirTextForms) {
    fill();
    info().package.software.version.set("7.2.0");
    LogCapture log("kestrel.windows.main");
    window->refresh();
    EXPECT_TRUE(log.contains("Refresh using (device \"vVelmar QT0880\" (fw v3.19.0 \"2012-03-01 "
                             "10:00:00\") (sw --)), Vendor Id: 0, Product Id: 0"));
    EXPECT_TRUE(log.contains("Refresh using (pck (fw v3.20.1 \"2013-01-15 08:30:00\") "
                             "(sw \"v7.2.0\"))"));
}

TEST_F(MainWindowTest, RefreshWithoutUpdateInfoLogsAndKeepsTheLabels) {
    LogCapture log("kestrel.windows.main");
    machine->updateTrait = nullptr;
    window->refresh();
    EXPECT_TRUE(log.contains("Cannot refresh window"));
    EXPECT_TRUE(log.contains("Cannot refresh package info"));
    EXPECT_TRUE(log.contains("Cannot refresh hints"));
    EXPECT_EQ(window->deviceName(), "Device Name");
}

TEST_F(MainWindowTest, WelcomePageLogChoiceIsCopiedToTheUpdatePage) {
    window->showPage(MainWindow::kWelcomePage);
    window->setWelcomeLogChecked(false);
    window->showPage(MainWindow::kUpdatePage);
    EXPECT_FALSE(window->updateLogChecked());
    window->showPage(MainWindow::kWelcomePage);
    window->setWelcomeLogChecked(true);
    window->showPage(MainWindow::kUpdatePage);
    EXPECT_TRUE(window->updateLogChecked());
}

TEST_F(MainWindowTest, CloseBoxDispatchesCancelAndLeavesTheFrameOpen) {
    machine->init();
    machine->dispatch(sigDone);
    ASSERT_TRUE(machine->isIn(StateMachine::kNoCard));
    window->Close();
    EXPECT_TRUE(machine->isIn(StateMachine::kTerminate));
    EXPECT_TRUE(window->IsShown());
}

TEST_F(MainWindowTest, ScreenshotsOfBothPages) {
    fill();
    info().deviceSoftware.version.set("7.1.0");
    info().deviceSoftware.detail = "Velmar host software";
    info().package.software.version.set("7.2.0");
    info().package.software.detail = "Velmar host software";
    info().hints = HintOlder | HintBattery;
    window->refresh();
    const std::string update = guitest::screenshot(window, "main-update");
    EXPECT_FALSE(update.empty());
    window->showPage(MainWindow::kWelcomePage);
    const std::string welcome = guitest::screenshot(window, "main-welcome");
    EXPECT_FALSE(welcome.empty());
    EXPECT_EQ(window->GetSize().GetWidth() >= 134 + 476, true);
}

} // namespace
