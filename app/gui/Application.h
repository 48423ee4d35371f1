#pragma once

#include "app/util/Log.h"

#include "app/TraitEvent.h"
#include "app/gui/AppWindowTrait.h"
#include "app/gui/PowerMonitor.h"

#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/file.h>
#include <wx/intl.h>
#include <wx/snglinst.h>

#include <cstdint>
#include <memory>

class AppDeviceTrait;
struct UpdateTrait;

namespace Kestrel {

class MainWindow;
class ProgressDialog;
class ErrorDialog;

enum ExecMode : int32_t {
    execNormal = 0,
    execUnattended = 1,
    execNoInterface = 2,
};

// "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard": the application's name, caption and window title.
extern const char* const kApplicationName;

// The program's application object: command line, administrator check and elevated relaunch,
// single instance, the traits of the workflow, the windows by number and the process exit code.
class Application : public wxApp {
public:
    Application();
    ~Application() override;

    bool OnInit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;
    int OnRun() override;
    int OnExit() override;

    // The process exit code for installers of an application result code.
    static int mapExitCode(int code);
    bool writeExitCodeFile();
    // 0 or an error in HRESULT form; *result tells whether the process is an administrator.
    int32_t isUserAdministrator(bool* result);

    // Window dispatch by window number, on the GUI thread; results as the workflow's codes.
    int openWindow(int window, int parent, int stateNumber);
    int refreshWindow(int window);
    int closeWindow(int window);
    void onTraitEvent(TraitEvent& event);

    // The application object while it exists.
    static Application* current();

    std::unique_ptr<wxSingleInstanceChecker> instanceChecker;
    ExecMode execMode = execNormal;
    bool firstMainWindowOpen = true;
    bool exitCodeFileRequested = false;
    wxFile exitCodeFile;
    wxString exitCodePath;
    int32_t exitCode = 0;
    int32_t relaunchExitCode = -1;
    // A request from outside (SIGTERM, SIGINT) is ending the run.
    bool interrupted = false;
    ProgressDialog* progressDialog = nullptr;
    MainWindow* mainWindow = nullptr;
    ErrorDialog* errorDialog = nullptr;
    std::unique_ptr<AppWindowTrait> windowTrait;
    std::unique_ptr<UpdateTrait> updateTrait;
    std::unique_ptr<AppDeviceTrait> deviceTrait;
    wxLocale locale;
    wxString uiLanguage;

    // Ends the run at the request of the system: the result is kResultInterrupted, a running
    // update stops at its next safe point and every window is answered as in unattended mode.
    void onTerminationRequest(int signal);

private:
    bool createExitCodeFile(const wxString& path);
    void reportExitCodeFileFailure();
    void watchTerminationRequests();
    // False when a worker thread is still running after the bounded wait.
    bool waitForWorkers();
    void relaunchElevated();
    void startPowerMonitor();
    // An error for the user: a message box when someone can answer it, standard error in the
    // unattended modes.
    void showError(const wxString& text);
    wxWindow* windowByNumber(int number, bool& found);

    PowerMonitor powerMonitor;
};

} // namespace Kestrel
