#pragma once

#include "app/util/Log.h"

#include "app/TraitEvent.h"
#include "gui/AppWindowTrait.h"
#include "gui/PowerMonitor.h"

#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/intl.h>
#include <wx/snglinst.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class AppDeviceTrait;
struct CheckFindings;
struct UpdateTrait;

namespace Kestrel {

class RunRecording;

enum ExecMode : int32_t {
    execNormal = 0,
    execUnattended = 1,
    execNoInterface = 2,
};

// "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard": the application's name, caption and window title.
extern const char* const kApplicationName;

// What every application object of the program shares, with or without the GUI toolkit:
// command line, administrator check and elevated relaunch, single instance, the traits of the
// workflow, the window dispatch by number and the process exit code. The framework object it
// serves (a GUI or a console application) drives it from its hooks and supplies the windows.
class ApplicationCore {
public:
    explicit ApplicationCore(wxAppConsole& framework);
    virtual ~ApplicationCore();
    ApplicationCore(const ApplicationCore&) = delete;
    ApplicationCore& operator=(const ApplicationCore&) = delete;

    // Long options beyond the single-letter ones.
    static constexpr const char* kVersionOption = "version";
    static constexpr const char* kJsonOption = "json";
    static constexpr const char* kCheckOption = "check";
    static constexpr const char* kRecordOption = "record";

    // The program's option table, shared by the framework's parser and the program's entry.
    static void describeOptions(wxCmdLineParser& parser);

    // The framework's hooks, in the order the framework calls them.
    bool commandLineParsed(wxCmdLineParser& parser);
    bool start();
    // The process exit code; `mainLoop` runs the framework's loop.
    int run(const std::function<void()>& mainLoop);
    void finish();

    // The process exit code for installers of an application result code.
    static int mapExitCode(int code);
    // Writes the result code into the exit-code file; false when it cannot.
    bool writeExitCodeFile();
    // 0 or an error in HRESULT form; *result tells whether the process is an administrator.
    int32_t isUserAdministrator(bool* result);

    // Window dispatch by window number, on the GUI thread; results as the workflow's codes.
    int openWindow(int window, int parent, int stateNumber);
    int refreshWindow(int window);
    int closeWindow(int window);
    void onTraitEvent(TraitEvent& event);

    // Ends the run at the request of the system: the result is kResultInterrupted, a running
    // update stops at its next safe point and every window is answered as in unattended mode.
    void onTerminationRequest(int signal);

    // The application object while it exists.
    static ApplicationCore* currentCore();

    std::unique_ptr<wxSingleInstanceChecker> instanceChecker;
    ExecMode execMode = execNormal;
    bool firstMainWindowOpen = true;
    bool exitCodeFileRequested = false;
    wxString exitCodePath;
    // Why the exit-code file could not be written last; empty when it was.
    std::string exitCodeFileProblem;
    int32_t exitCode = 0;
    int32_t relaunchExitCode = -1;
    // A request from outside (SIGTERM, SIGINT) is ending the run.
    bool interrupted = false;
    std::unique_ptr<AppWindowTrait> windowTrait;
    std::unique_ptr<UpdateTrait> updateTrait;
    std::unique_ptr<AppDeviceTrait> deviceTrait;
    wxLocale locale;
    wxString uiLanguage;
    // Where the result goes as JSON ("-" for standard output); empty when not asked for.
    wxString jsonPath;
    // The kind of the last result window opened (the state that opened it); the result's
    // description depends on it. Runs that end without one are updates not done.
    int resultDialogKind;
    // The run only checks the card (detection, device and package check) and flashes nothing.
    bool checkOnly = false;
    // What the check found once it passed; null until then.
    std::unique_ptr<CheckFindings> checkFindings;
    // Where the session with the card is recorded; empty when not asked for.
    wxString recordPath;
    std::unique_ptr<RunRecording> recording;

protected:
    // The windows, as the framework object has them. The window numbers are the workflow's;
    // `parent` is a window number whose window exists.
    virtual bool windowExists(int window) const = 0;
    virtual void showMainWindow(int page, bool show) = 0;
    // False when there is no main window to refresh.
    virtual bool refreshMainWindow() = 0;
    // What a click on the main window's Update button does; false without a main window.
    virtual bool clickUpdate() = 0;
    virtual void showResultDialog(int window, int parent, int stateNumber) = 0;
    virtual void showProgressDialog(int parent) = 0;
    virtual void updateProgress(int code, int value) = 0;
    virtual void destroyWindow(int window) = 0;
    virtual void powerChanged(bool onBattery) = 0;
    virtual void enableNext() = 0;
    virtual void disableNext() = 0;
    // Toolkit set-up that the workflow needs before it starts (image handlers and the like).
    virtual void prepareToolkit() {}
    // An error for the user: standard error, unless a window can show it.
    virtual void showError(const wxString& text);

private:
    static bool usableFileName(const wxString& path);
    bool createExitCodeFile();
    // False (with the reason on standard error) when another instance holds the lock or the
    // runtime folder is not the administrator's own.
    bool takeSingleInstanceLock();
    void startLogging();
    // After the main loop: the worker threads end, the result files are written and the lock
    // goes; the process exit code.
    int endRun();
    void reportExitCodeFileFailure();
    void watchTerminationRequests();
    // False when a worker thread is still running after the bounded wait.
    bool waitForWorkers();
    // Writes the recording, if one was asked for; its failure is a warning, never the result.
    void finishRecording(bool workersEnded);
    void relaunchElevated();
    void startPowerMonitor();
    void answerOpenedWindow(int window);
    // Answers the update page of a check-only run: records what an update would do and ends.
    void endCheck();
    // The command line for the elevated child: the options as parsed, paths made absolute.
    std::vector<std::string> relaunchArguments() const;
    // The summary line on standard error in the unattended modes, and the JSON object.
    // False when the JSON file cannot be written.
    bool reportResult();

    wxAppConsole& framework;
    PowerMonitor powerMonitor;
    bool logOption = false;
};

} // namespace Kestrel
