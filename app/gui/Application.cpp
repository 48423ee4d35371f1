#include "app/util/Log.h"

#include "app/gui/Application.h"

#include "app/AppDeviceTrait.h"
#include "app/WorkerThreads.h"
#include "app/ErrorCodes.h"
#include "app/PackageImage.h"
#include "app/StateMachine.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "app/gui/ErrorDialog.h"
#include "app/gui/Language.h"
#include "app/gui/MainWindow.h"
#include "app/gui/ProgressDialog.h"
#include "app/gui/ResourceFsHandler.h"
#include "app/gui/Translation.h"
#include "app/util/EnumName.h"
#include "app/util/LoggingConfiguration.h"
#include "platform/MessageWindow.h"
#include "platform/NamedObject.h"
#include "platform/Process.h"
#include "platform/Resource.h"
#include "platform/SystemPaths.h"
#include "platform/TerminationRequest.h"
#include "update/AppUpdateTrait.h"

#include <wx/config.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/sysopt.h>

#include <cstdio>

namespace Kestrel {

const char* const kApplicationName = "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard";

namespace {

constexpr const char* kVendorName = "Velmar nv";
constexpr const char* kSingleInstanceName = "{FC4AE77C-0FCB-4209-98AA-F9D5E06EEBA8}";
constexpr const char* kRelaunchMutexName = "{C91A190F-4BFE-4cea-9076-CA40C7FABD13}";
constexpr const char* kExecModeNames = "execNormal,execUnattended,execNoInterface,";

constexpr int kNoParent = 0;

constexpr int kErrorDialogId = 0;
constexpr int kSuccessDialogId = 1;
constexpr int kProgressEndOfUpdate = 3;
constexpr int kPackageResourceId = 101;
// How long the end of the program waits for a worker thread to leave the libraries: a running
// flash stops at its next safe point, at the latest once the card's 30-second answer time is up.
constexpr uint64_t kWorkerEndWaitMs = 35000;

Application* currentApplication = nullptr;

log4cplus::Logger mainLogger() {
    return Log::logger("kestrel.app.main");
}

// The firmware package linked into the executable as RCDATA 101.
bool embeddedPackage(const uint8_t*& data, size_t& size) {
    const auto package = platform::findResource(platform::kResourceTypeData, kPackageResourceId);
    if (!package || package->empty())
        return false;
    data = reinterpret_cast<const uint8_t*>(package->data());
    size = package->size();
    return true;
}

UpdateInfo* installedUpdateInfo() {
    UpdateTrait* trait = StateMachine::instance().updateTrait;
    return trait != nullptr ? trait->updateInfo : nullptr;
}

bool recoveryOf(const UpdateInfo& info) {
    const auto guard = info.lock();
    return info.recovery;
}

} // namespace

Application::Application() {
    currentApplication = this;
    windowTrait = std::make_unique<AppWindowTrait>();
    updateTrait = std::make_unique<AppUpdateTrait>();
    deviceTrait = std::make_unique<AppDeviceTrait>();
    installCatalogLookup();
    PackageImage::setEmbeddedLookup(&embeddedPackage);
    Logging::configureLogging();
    Logging::setLogging(false, true);
    Bind(kestrelEVT_TRAIT, &Application::onTraitEvent, this, wxID_ANY);
}

Application::~Application() {
    // The traits go with the application; nothing may reach them through the machine after.
    StateMachine& machine = StateMachine::instance();
    if (machine.windowTrait == windowTrait.get())
        machine.windowTrait = &defaultWindowTrait();
    if (machine.updateTrait == updateTrait.get())
        machine.updateTrait = &defaultUpdateTrait();
    if (machine.deviceTrait == deviceTrait.get())
        machine.deviceTrait = &defaultDeviceTrait();
    PackageImage::setEmbeddedLookup(nullptr);
    if (currentApplication == this)
        currentApplication = nullptr;
}

Application* Application::current() {
    return currentApplication;
}

void Application::OnInitCmdLine(wxCmdLineParser& parser) {
    // The descriptions go through the catalog lookup here; the help is shown while the command
    // line is parsed, before the language is set up, so they read as the identifiers.
    static const wxCmdLineEntryDesc entries[] = {
        {wxCMD_LINE_SWITCH, "u", "unattended",
         "run in unattended mode. No user interaction is required", wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_SWITCH, "q", "quiet",
         "suppress display of graphical user interface. This implies the unattended option",
         wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_SWITCH, "l", "log", "turn on logging", wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_OPTION, "p", "path", "absolute path to a file receiving an update's error code",
         wxCMD_LINE_VAL_STRING, 0},
        {wxCMD_LINE_OPTION, "i", "ilang", "ISO language code (UI language)", wxCMD_LINE_VAL_STRING,
         0},
        wxCMD_LINE_DESC_END,
    };
    for (const wxCmdLineEntryDesc* entry = entries; entry->kind != wxCMD_LINE_NONE; ++entry) {
        const wxString description = guiText(entry->description);
        if (entry->kind == wxCMD_LINE_SWITCH)
            parser.AddSwitch(entry->shortName, entry->longName, description);
        else
            parser.AddOption(entry->shortName, entry->longName, description, entry->type);
    }
    wxApp::OnInitCmdLine(parser);
}

bool Application::OnCmdLineParsed(wxCmdLineParser& parser) {
    if (parser.Found("l"))
        Logging::setLogging(true, false);
    if (parser.Found("q"))
        execMode = execNoInterface;
    else if (parser.Found("u"))
        execMode = execUnattended;
    KESTREL_DEBUG(mainLogger(),
                  "Execution mode is " << enumName(execNormal, execMode, kExecModeNames));
    // Nobody answers a message box in the unattended modes: the toolkit's own messages go to
    // standard error instead.
    if (execMode != execNormal)
        delete wxLog::SetActiveTarget(new wxLogStderr);

    wxString path;
    exitCodeFileRequested = parser.Found("p", &path);
    exitCodePath = path;
    if (exitCodeFileRequested && !createExitCodeFile(path)) {
        showError(wxString::Format(guiText("Error creating exit code file '%s'."), path));
        return false;
    }
    wxString language;
    if (parser.Found("i", &language))
        uiLanguage = language;
    return true;
}

bool Application::createExitCodeFile(const wxString& path) {
    wxLogNull quiet;
    const wxFileName name(path);
    if (!name.IsOk() || name.GetFullPath().empty())
        return false;
    const wxString directory = name.GetPath();
    if (!directory.empty() && !wxFileName::DirExists(directory) &&
        !wxFileName::Mkdir(directory, 0777, wxPATH_MKDIR_FULL))
        return false;
    return exitCodeFile.Create(
        path, true, wxS_IRUSR | wxS_IWUSR | wxS_IRGRP | wxS_IWGRP | wxS_IROTH | wxS_IWOTH);
}

bool Application::OnInit() {
    if (!wxApp::OnInit())
        return false;
    SetAppName(kApplicationName);
    SetVendorName(kVendorName);
    wxFileSystem::AddHandler(new ResourceFsHandler);
    setupLanguage(locale, uiLanguage);

    bool administrator = false;
    isUserAdministrator(&administrator);
    if (!administrator) {
        relaunchElevated();
        return true;
    }

    instanceChecker = std::make_unique<wxSingleInstanceChecker>();
    wxString lockFolder;
    if (platform::simulatedMachineRoot()) {
        // A simulated machine keeps its own lock, so separate machines do not meet.
        lockFolder = wxString::FromUTF8(platform::systemPath("/run/lock"));
        platform::createFolders(lockFolder.utf8_string());
    }
    if (!instanceChecker->Create(kSingleInstanceName, lockFolder) ||
        instanceChecker->IsAnotherRunning()) {
        KESTREL_DEBUG(mainLogger(), "Another instance is running");
        return false;
    }
    wxSystemOptions::SetOption("msw.remap", 0);
    wxImage::AddHandler(new wxPNGHandler);
    wxImage::AddHandler(new wxXPMHandler);
    // The workflow ends the main loop itself, whatever windows remain.
    SetExitOnFrameDelete(false);

    // The detection library's hidden windows live on this thread; their queue is pumped from
    // the framework's loop, woken by any post or due timer.
    platform::setMessageWakeHook([] {
        if (Application* app = Application::current())
            app->CallAfter([] { platform::pumpPendingMessages(); });
    });

    StateMachine& machine = StateMachine::instance();
    if (windowTrait)
        machine.windowTrait = windowTrait.get();
    if (updateTrait)
        machine.updateTrait = updateTrait.get();
    if (deviceTrait)
        machine.deviceTrait = deviceTrait.get();
    watchTerminationRequests();
    machine.init();
    startPowerMonitor();
    return true;
}

void Application::watchTerminationRequests() {
    platform::watchTerminationRequests(
        [](int signal) {
            if (Application* app = Application::current())
                app->CallAfter([signal] {
                    if (Application* current = Application::current())
                        current->onTerminationRequest(signal);
                });
        },
        Kestrel::mapExitCode(kResultInterrupted));
}

void Application::onTerminationRequest(int signal) {
    KESTREL_INFO(mainLogger(), "Interrupted by signal " << signal << ": ending the run");
    if (interrupted)
        return;
    interrupted = true;
    exitCode = kResultInterrupted;
    if (deviceTrait)
        deviceTrait->interrupt();
    // Ends the run from every state that waits for a user; an update first reaches its end
    // (the flashing stops at its next safe point) and its result window is answered alike.
    StateMachine::instance().dispatch(sigCancel);
}

int32_t Application::isUserAdministrator(bool* result) {
    *result = platform::isAdministrator();
    return 0;
}

void Application::relaunchElevated() {
    relaunchExitCode = 1;
    const platform::SyncOpenResult mutex = platform::createNamedMutex(kRelaunchMutexName, true);
    if (mutex.handle && mutex.alreadyExisted) {
        showError(guiText("This application must be run with administrator privileges"));
        return;
    }
    std::vector<std::string> arguments;
    for (int index = 1; index < argc; ++index)
        arguments.push_back(argv[index].utf8_string());
    KESTREL_DEBUG(mainLogger(), "Relaunching elevated");
    const platform::ElevatedRun run = platform::runElevated(platform::executablePath(), arguments);
    if (run.error == 0) {
        relaunchExitCode = run.exitCode;
    } else if (run.error != platform::ProcessError::kCancelled) {
        showError(wxString::FromUTF8(platform::systemErrorText(run.error)));
    }
    if (mutex.handle)
        platform::releaseMutex(mutex.handle);
}

void Application::showError(const wxString& text) {
    if (execMode == execNormal) {
        wxMessageBox(text, kApplicationName, wxOK | wxICON_ERROR);
    } else {
        const wxScopedCharBuffer bytes = text.utf8_str();
        std::fprintf(stderr, "%s\n", bytes.data());
    }
}

void Application::startPowerMonitor() {
    powerMonitor.start([](bool onBattery, int batteryPercent) {
        if (WindowTrait* trait = StateMachine::instance().windowTrait)
            trait->powerFromWallOutlet(onBattery, batteryPercent);
    });
}

int Application::OnRun() {
    if (relaunchExitCode != -1)
        return relaunchExitCode;
    wxApp::OnRun();
    return mapExitCode(exitCode);
}

int Application::mapExitCode(int code) {
    return Kestrel::mapExitCode(code);
}

int Application::OnExit() {
    platform::stopWatchingTerminationRequests();
    powerMonitor.stop();
    platform::setMessageWakeHook({});
    instanceChecker.reset();
    const bool workersEnded = waitForWorkers();
    // The relaunching process leaves the file to the elevated one, which wrote its own result.
    if (exitCodeFileRequested && relaunchExitCode == -1 && !writeExitCodeFile())
        reportExitCodeFileFailure();
    if (!workersEnded) {
        // A worker still runs inside the libraries; tearing down what it uses would crash the
        // process, so it ends here with the result already recorded (the log's file appenders
        // write every line through).
        platform::exitImmediately(relaunchExitCode != -1 ? relaunchExitCode
                                                         : mapExitCode(exitCode));
    }
    delete wxConfigBase::Set(nullptr);
    return 0;
}

bool Application::waitForWorkers() {
    WorkerThreads& workers = StateMachine::instance().workers;
    if (workers.running() == 0)
        return true;
    KESTREL_DEBUG(mainLogger(), "Waiting for " << workers.running() << " worker thread(s)");
    if (workers.waitUntilIdle(kWorkerEndWaitMs))
        return true;
    KESTREL_ERROR(mainLogger(), "A worker thread did not end within " << kWorkerEndWaitMs << " ms");
    return false;
}

bool Application::writeExitCodeFile() {
    if (!exitCodeFile.IsOpened())
        return false;
    // The failure is reported by the caller; the toolkit's own report would wait for a user.
    wxLogNull quiet;
    const bool written = exitCodeFile.Write(wxString::Format("%d\n", exitCode), wxConvUTF8);
    const bool flushed = written && exitCodeFile.Flush();
    return exitCodeFile.Close() && flushed;
}

void Application::reportExitCodeFileFailure() {
    const wxString text = wxString::Format("Error writing exit code file '%s'.", exitCodePath);
    KESTREL_ERROR(mainLogger(), text.utf8_string());
    std::fprintf(stderr, "%s\n", text.utf8_string().c_str());
}

wxWindow* Application::windowByNumber(int number, bool& found) {
    wxWindow* window = nullptr;
    switch (number) {
    case kNoParent:
        found = true;
        return nullptr;
    case kWindowWelcome:
    case kWindowUpdate:
        window = mainWindow;
        break;
    case kWindowError:
    case kWindowSuccess:
        window = errorDialog;
        break;
    case kWindowProgress:
        window = progressDialog;
        break;
    default:
        break;
    }
    found = window != nullptr;
    return window;
}

int Application::openWindow(int window, int parent, int stateNumber) {
    KESTREL_DEBUG(mainLogger(), "Application::openWindow(" << window << ", " << parent << ", "
                                                           << stateNumber << ")");
    bool parentFound = false;
    wxWindow* parentWindow = windowByNumber(parent, parentFound);
    if (!parentFound) {
        KESTREL_ERROR(mainLogger(), "Window " << parent << " not found");
        return kResultWindowNotFound;
    }
    const bool show = execMode != execNoInterface;
    StateMachine& machine = StateMachine::instance();
    switch (window) {
    case kWindowWelcome:
    case kWindowUpdate:
        if (window == kWindowWelcome) {
            if (firstMainWindowOpen)
                firstMainWindowOpen = false;
            else if (execMode != execNormal)
                return kResultWindowReopenedUnattended;
        }
        if (mainWindow == nullptr)
            mainWindow = new MainWindow(kApplicationName);
        mainWindow->Show(show);
        SetTopWindow(mainWindow);
        mainWindow->showPage(window == kWindowWelcome ? MainWindow::kWelcomePage
                                                      : MainWindow::kUpdatePage);
        return 0;
    case kWindowError: {
        int error = machine.errorCode;
        if (error == kResultRecoveryComplete) {
            const UpdateInfo* info = installedUpdateInfo();
            if (info == nullptr || !recoveryOf(*info)) {
                machine.dispatch(sigUpdate);
                return kResultRecoveryComplete;
            }
            error = kResultStillInRecovery;
            machine.errorCode = error;
        }
        if (execMode == execNormal) {
            if (errorDialog == nullptr)
                errorDialog =
                    new ErrorDialog(parentWindow, kErrorDialogId, kApplicationName, stateNumber);
            errorDialog->Show();
        }
        return error;
    }
    case kWindowSuccess:
        if (execMode == execNormal) {
            if (errorDialog == nullptr)
                errorDialog =
                    new ErrorDialog(parentWindow, kSuccessDialogId, kApplicationName, stateNumber);
            errorDialog->Show();
        }
        return 0;
    case kWindowProgress:
        // A new card's check: the result of a card checked before it no longer stands.
        if (stateNumber == StateMachine::kCheckDevice)
            exitCode = 0;
        if (execMode != execNoInterface) {
            if (progressDialog == nullptr)
                progressDialog = new ProgressDialog(parentWindow);
            progressDialog->Show();
        }
        return 0;
    default:
        KESTREL_ERROR(mainLogger(), "Cannot open window " << window);
        return kResultWindowNotFound;
    }
}

int Application::refreshWindow(int window) {
    KESTREL_DEBUG(mainLogger(), "Application::refreshWindow(" << window << ")");
    if (window == kWindowUpdate) {
        if (mainWindow == nullptr)
            return kResultRefreshWindowFailed;
        mainWindow->refresh();
        return 0;
    }
    KESTREL_ERROR(mainLogger(), "Cannot refresh window " << window);
    return kResultWindowNotRefreshable;
}

int Application::closeWindow(int window) {
    KESTREL_DEBUG(mainLogger(), "Application::closeWindow(" << window << ")");
    switch (window) {
    case kWindowError:
    case kWindowSuccess:
        if (errorDialog != nullptr) {
            errorDialog->Destroy();
            errorDialog = nullptr;
        }
        return 0;
    case kWindowProgress:
        if (progressDialog != nullptr) {
            progressDialog->Destroy();
            progressDialog = nullptr;
        }
        return 0;
    case kWindowWelcome:
    case kWindowUpdate:
        if (mainWindow != nullptr) {
            mainWindow->Destroy();
            mainWindow = nullptr;
        }
        return 0;
    default:
        KESTREL_ERROR(mainLogger(), "Cannot close window " << window);
        return kResultWindowNotFound;
    }
}

void Application::onTraitEvent(TraitEvent& event) {
    KESTREL_DEBUG(mainLogger(), "Handling event " << event.text());
    StateMachine& machine = StateMachine::instance();
    switch (event.kind) {
    case ctetTerminateApp:
        ExitMainLoop();
        break;
    case ctetOpenWindow: {
        const int result = openWindow(event.arg1, event.arg2, event.arg3);
        if (result != 0 && exitCode == 0)
            exitCode = result;
        if (execMode == execNormal && !interrupted)
            break;
        switch (event.arg1) {
        case kWindowWelcome:
            if (exitCode != 0)
                machine.dispatch(sigCancel);
            break;
        case kWindowUpdate:
            machine.dispatch(sigUpdate);
            break;
        case kWindowError:
        case kWindowSuccess:
            machine.dispatch(sigCancel);
            break;
        default:
            break;
        }
        break;
    }
    case ctetRefreshWindow:
        refreshWindow(event.arg1);
        if (execMode != execNormal && event.arg1 == kWindowUpdate && mainWindow != nullptr) {
            mainWindow->clickUpdate();
            exitCode = 0;
        }
        break;
    case ctetCloseWindow:
        closeWindow(event.arg1);
        break;
    case ctetProgress:
        if (event.arg1 == kProgressEndOfUpdate) {
            if (event.arg2 != 0)
                machine.dispatch(sigError, event.arg2);
            else
                machine.dispatch(sigDone);
        } else if (progressDialog != nullptr) {
            progressDialog->update(event.arg1, event.arg2);
        }
        break;
    case ctetPower:
        if (mainWindow != nullptr) {
            mainWindow->setOnBattery(event.arg1 != 0);
            mainWindow->refreshCautions();
        }
        break;
    case ctetEnableNext:
        if (mainWindow != nullptr)
            mainWindow->enableNext();
        break;
    case ctetDisableNext:
        if (mainWindow != nullptr)
            mainWindow->disableNext();
        break;
    default:
        KESTREL_ERROR(mainLogger(), "Unknown event (code " << event.kind << ")");
        break;
    }
}

} // namespace Kestrel
