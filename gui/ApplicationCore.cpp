#include "app/util/Log.h"

#include "gui/ApplicationCore.h"

#include "app/AppDeviceTrait.h"
#include "app/ErrorCodes.h"
#include "app/PackageImage.h"
#include "app/RunSummary.h"
#include "app/StateMachine.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "app/WorkerThreads.h"
#include "gui/Language.h"
#include "gui/ResourceFsHandler.h"
#include "gui/RunRecording.h"
#include "gui/Translation.h"
#include "app/util/EnumName.h"
#include "app/util/LoggingConfiguration.h"
#include "platform/MessageWindow.h"
#include "platform/NamedObject.h"
#include "platform/Process.h"
#include "platform/Resource.h"
#include "platform/ResultFile.h"
#include "platform/Service.h"
#include "platform/SystemPaths.h"
#include "platform/TerminationRequest.h"
#include "update/AppUpdateTrait.h"
#include "update/CheckFindings.h"

#include <wx/config.h>
#include <wx/filename.h>
#include <wx/filesys.h>
#include <wx/log.h>

#include <cstdio>
#include <fstream>

namespace Kestrel {

const char* const kApplicationName = "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard";

namespace {

constexpr const char* kVendorName = "Velmar nv";
constexpr const char* kSingleInstanceName = "{FC4AE77C-0FCB-4209-98AA-F9D5E06EEBA8}";
constexpr const char* kRelaunchMutexName = "{C91A190F-4BFE-4cea-9076-CA40C7FABD13}";
constexpr const char* kExecModeNames = "execNormal,execUnattended,execNoInterface,";

constexpr int kNoParent = 0;
// The exit status of a run whose exit-code or JSON file cannot be written, as of one whose
// exit-code file cannot be created.
constexpr int kExitResultFileFailed = 255;
// How long the end of the program waits for a worker thread to leave the libraries: a running
// flash stops at its next safe point, at the latest once the card's 30-second answer time is up.
constexpr uint64_t kWorkerEndWaitMs = 35000;

ApplicationCore* currentApplication = nullptr;

log4cplus::Logger mainLogger() {
    return Log::logger("kestrel.app.main");
}

UpdateInfo* installedUpdateInfo() {
    UpdateTrait* trait = StateMachine::instance().updateTrait;
    return trait != nullptr ? trait->updateInfo : nullptr;
}

bool recoveryOf(const UpdateInfo& info) {
    const auto guard = info.lock();
    return info.recovery;
}

// Runs `action` on the application's thread, from its event loop.
void onApplicationThread(std::function<void(ApplicationCore&)> action) {
    wxAppConsole* framework = wxAppConsole::GetInstance();
    if (framework == nullptr || ApplicationCore::currentCore() == nullptr)
        return;
    framework->CallAfter([action] {
        if (ApplicationCore* core = ApplicationCore::currentCore())
            action(*core);
    });
}

} // namespace

ApplicationCore::ApplicationCore(wxAppConsole& framework)
    : resultDialogKind(kDialogUpdateFailure), framework(framework) {
    currentApplication = this;
    windowTrait = std::make_unique<AppWindowTrait>();
    updateTrait = std::make_unique<AppUpdateTrait>();
    deviceTrait = std::make_unique<AppDeviceTrait>();
    installCatalogLookup();
    PackageImage::setEmbeddedLookup(&PackageImage::resourcePackage);
    // Nothing is logged until start has taken the single-instance lock; a process that only
    // relaunches itself elevated never logs.
    Logging::setLogging(false, true);
    framework.Bind(kestrelEVT_TRAIT, &ApplicationCore::onTraitEvent, this, wxID_ANY);
}

ApplicationCore::~ApplicationCore() {
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

ApplicationCore* ApplicationCore::currentCore() {
    return currentApplication;
}

void ApplicationCore::describeOptions(wxCmdLineParser& parser) {
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
        {wxCMD_LINE_OPTION, "", kJsonOption,
         "write the result as one JSON object into this file (- for standard output)",
         wxCMD_LINE_VAL_STRING, 0},
        {wxCMD_LINE_SWITCH, "", kCheckOption,
         "check the card and the package as an update would, flash nothing (implies quiet)",
         wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_OPTION, "", kRecordOption,
         "record the session with the card into this file, for its replay in the card simulator",
         wxCMD_LINE_VAL_STRING, 0},
        {wxCMD_LINE_SWITCH, "", kVersionOption, "print the program's name and version, then exit",
         wxCMD_LINE_VAL_NONE, 0},
        wxCMD_LINE_DESC_END,
    };
    for (const wxCmdLineEntryDesc* entry = entries; entry->kind != wxCMD_LINE_NONE; ++entry) {
        const wxString description = guiText(entry->description);
        if (entry->kind == wxCMD_LINE_SWITCH)
            parser.AddSwitch(entry->shortName, entry->longName, description);
        else
            parser.AddOption(entry->shortName, entry->longName, description, entry->type);
    }
}

bool ApplicationCore::commandLineParsed(wxCmdLineParser& parser) {
    // Logging starts once this process holds the single-instance lock (start): a second
    // instance must not write into the running one's log.
    logOption = parser.Found("l");
    checkOnly = parser.Found(kCheckOption);
    if (parser.Found("q") || checkOnly)
        execMode = execNoInterface;
    else if (parser.Found("u"))
        execMode = execUnattended;
    // Nobody answers a message box in the unattended modes: the toolkit's own messages go to
    // standard error instead.
    if (execMode != execNormal)
        delete wxLog::SetActiveTarget(new wxLogStderr);

    wxString path;
    exitCodeFileRequested = parser.Found("p", &path);
    exitCodePath = path;
    if (exitCodeFileRequested && !usableFileName(path)) {
        showError(wxString::Format(guiText("Error creating exit code file '%s'."), path));
        return false;
    }
    wxString language;
    if (parser.Found("i", &language))
        uiLanguage = language;
    parser.Found(kJsonOption, &jsonPath);
    parser.Found(kRecordOption, &recordPath);
    return true;
}

bool ApplicationCore::usableFileName(const wxString& path) {
    const wxFileName name(path);
    return name.IsOk() && !name.GetFullPath().empty();
}

bool ApplicationCore::createExitCodeFile() {
    // An empty file from the start: whatever was there before (a result of an earlier run, a
    // file someone planted) is gone, and a run that ends without a result leaves none.
    const std::string reason = platform::writeResultFile(exitCodePath.utf8_string(), "");
    if (reason.empty())
        return true;
    KESTREL_ERROR(mainLogger(), "Cannot create the exit code file " << exitCodePath.utf8_string()
                                                                    << ": " << reason);
    return false;
}

bool ApplicationCore::start() {
    // The framework's own configuration file would be written into the home folder.
    wxConfigBase::DontCreateOnDemand();
    framework.SetAppName(kApplicationName);
    framework.SetVendorName(kVendorName);
    wxFileSystem::AddHandler(new ResourceFsHandler);

    bool administrator = false;
    isUserAdministrator(&administrator);
    if (!administrator) {
        setupLanguage(locale, uiLanguage);
        relaunchElevated();
        return true;
    }
    if (!takeSingleInstanceLock())
        return false;
    startLogging();
    // After the lock, so that the language's log lines go to this run's log.
    setupLanguage(locale, uiLanguage);
    if (exitCodeFileRequested && !createExitCodeFile()) {
        showError(wxString::Format(guiText("Error creating exit code file '%s'."), exitCodePath));
        return false;
    }
    prepareToolkit();

    // The detection library's hidden windows live on this thread; their queue is pumped from
    // the framework's loop, woken by any post or due timer.
    platform::setMessageWakeHook(
        [] { onApplicationThread([](ApplicationCore&) { platform::pumpPendingMessages(); }); });

    StateMachine& machine = StateMachine::instance();
    if (windowTrait)
        machine.windowTrait = windowTrait.get();
    if (updateTrait)
        machine.updateTrait = updateTrait.get();
    if (deviceTrait)
        machine.deviceTrait = deviceTrait.get();
    watchTerminationRequests();
    if (!recordPath.empty()) {
        recording = std::make_unique<RunRecording>(recordPath.utf8_string());
        recording->start();
    }
    machine.init();
    startPowerMonitor();
    return true;
}

bool ApplicationCore::takeSingleInstanceLock() {
    // The lock lives in root's runtime folder (a simulated machine's own), never in the home
    // folder of whoever started the program.
    const std::string folder = platform::runtimeFolder();
    const std::string problem = platform::runtimeFolderProblem(folder);
    if (!problem.empty()) {
        std::fprintf(stderr, "kestrel: %s cannot hold the single-instance lock: %s\n",
                     folder.c_str(), problem.c_str());
        return false;
    }
    instanceChecker = std::make_unique<wxSingleInstanceChecker>();
    if (!instanceChecker->Create(kSingleInstanceName, wxString::FromUTF8(folder))) {
        std::fprintf(stderr, "kestrel: cannot take the single-instance lock in %s\n",
                     folder.c_str());
        return false;
    }
    if (instanceChecker->IsAnotherRunning()) {
        std::fputs("kestrel: another Kestrel is running\n", stderr);
        return false;
    }
    return true;
}

void ApplicationCore::startLogging() {
    Logging::configureLogging();
    if (logOption)
        Logging::setLogging(true, false);
    else
        Logging::setLogging(false, true);
    KESTREL_DEBUG(mainLogger(),
                  "Execution mode is " << enumName(execNormal, execMode, kExecModeNames));
}

void ApplicationCore::watchTerminationRequests() {
    // A second request ends the process before the run has come to its end: the service the
    // run stopped starts again and the exit-code file gets the interrupted result.
    const std::string resultPath = exitCodeFileRequested ? exitCodePath.utf8_string() : "";
    platform::setLastWords([resultPath] {
        if (!resultPath.empty())
            platform::writeResultFile(resultPath, std::to_string(kResultInterrupted) + "\n");
        platform::startService(AppDeviceTrait::kServiceName);
    });
    platform::watchTerminationRequests(
        [](int signal) {
            onApplicationThread(
                [signal](ApplicationCore& core) { core.onTerminationRequest(signal); });
        },
        Kestrel::mapExitCode(kResultInterrupted));
}

void ApplicationCore::onTerminationRequest(int signal) {
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

int32_t ApplicationCore::isUserAdministrator(bool* result) {
    *result = platform::isAdministrator();
    return 0;
}

void ApplicationCore::relaunchElevated() {
    relaunchExitCode = 1;
    const platform::SyncOpenResult mutex = platform::createNamedMutex(kRelaunchMutexName, true);
    if (mutex.handle && mutex.alreadyExisted) {
        showError(guiText("This application must be run with administrator privileges"));
        return;
    }
    bool displayGranted = false;
    if (execMode != execNoInterface) {
        const std::string problem = platform::grantDisplayToAdministrator(displayGranted);
        if (!problem.empty())
            std::fprintf(stderr, "kestrel: %s\n", problem.c_str());
    }
    const platform::ElevatedRun run =
        platform::runElevated(platform::executablePath(), relaunchArguments());
    if (displayGranted)
        platform::revokeDisplayFromAdministrator();
    if (run.error == 0) {
        relaunchExitCode = run.exitCode;
    } else if (run.error == platform::ProcessError::kFileNotFound) {
        showError(wxString::Format(
            "kestrel: %s cannot be run (%s), so Kestrel cannot ask for the administrator "
            "rights it needs: run it as root instead, for example with sudo kestrel",
            wxString::FromUTF8(platform::elevationCommand().front()),
            wxString::FromUTF8(platform::systemErrorText(run.error))));
    } else if (run.error != platform::ProcessError::kCancelled) {
        showError(wxString::FromUTF8(platform::systemErrorText(run.error)));
    }
    // The elevated process never ran: the exit-code file says so instead of staying empty.
    if (run.error != 0 && exitCodeFileRequested) {
        exitCode = kResultInterrupted;
        if (!writeExitCodeFile())
            reportExitCodeFileFailure();
    }
    if (mutex.handle)
        platform::releaseMutex(mutex.handle);
}

std::vector<std::string> ApplicationCore::relaunchArguments() const {
    const auto absolute = [](const wxString& path) {
        wxFileName name(path);
        name.MakeAbsolute();
        return name.GetFullPath().utf8_string();
    };
    std::vector<std::string> arguments;
    if (execMode == execNoInterface)
        arguments.push_back("-q");
    else if (execMode == execUnattended)
        arguments.push_back("-u");
    if (logOption)
        arguments.push_back("-l");
    if (checkOnly)
        arguments.push_back(std::string("--") + kCheckOption);
    if (exitCodeFileRequested)
        arguments.insert(arguments.end(), {"-p", absolute(exitCodePath)});
    if (!uiLanguage.empty())
        arguments.insert(arguments.end(), {"-i", uiLanguage.utf8_string()});
    if (!jsonPath.empty())
        arguments.insert(arguments.end(), {std::string("--") + kJsonOption,
                                           jsonPath == "-" ? "-" : absolute(jsonPath)});
    if (!recordPath.empty())
        arguments.insert(arguments.end(),
                         {std::string("--") + kRecordOption, absolute(recordPath)});
    return arguments;
}

void ApplicationCore::showError(const wxString& text) {
    const wxScopedCharBuffer bytes = text.utf8_str();
    std::fprintf(stderr, "%s\n", bytes.data());
}

void ApplicationCore::startPowerMonitor() {
    powerMonitor.start([](bool onBattery, int batteryPercent) {
        if (WindowTrait* trait = StateMachine::instance().windowTrait)
            trait->powerFromWallOutlet(onBattery, batteryPercent);
    });
}

int ApplicationCore::run(const std::function<void()>& mainLoop) {
    if (relaunchExitCode != -1)
        return relaunchExitCode;
    mainLoop();
    return endRun();
}

int ApplicationCore::mapExitCode(int code) {
    return Kestrel::mapExitCode(code);
}

int ApplicationCore::endRun() {
    platform::stopWatchingTerminationRequests();
    powerMonitor.stop();
    platform::setMessageWakeHook({});
    const bool workersEnded = waitForWorkers();
    finishRecording(workersEnded);
    bool written = true;
    if (exitCodeFileRequested && !writeExitCodeFile()) {
        reportExitCodeFileFailure();
        written = false;
    }
    written = reportResult() && written;
    // The lock goes once the result is in place: the next run cannot start before.
    instanceChecker.reset();
    // A result an installer waits for and cannot find must not read as the update's category.
    const int code = written ? mapExitCode(exitCode) : kExitResultFileFailed;
    if (!workersEnded) {
        // A worker still runs inside the libraries; tearing down what it uses would crash the
        // process, so it ends here with the result already recorded (the log's file appenders
        // write every line through).
        platform::exitImmediately(code);
    }
    return code;
}

void ApplicationCore::finish() {
    platform::stopWatchingTerminationRequests();
    powerMonitor.stop();
    platform::setMessageWakeHook({});
    instanceChecker.reset();
    delete wxConfigBase::Set(nullptr);
}

bool ApplicationCore::reportResult() {
    RunSummary summary(exitCode, resultDialogKind, installedUpdateInfo(),
                       Logging::loggingEnabled() ? Logging::logFiles()
                                                 : std::vector<std::string>());
    if (checkOnly)
        summary.describeCheck(checkFindings.get());
    if (execMode != execNormal)
        std::fprintf(stderr, "%s\n", summary.line().c_str());
    if (jsonPath.empty())
        return true;
    const std::string text = summary.json();
    if (jsonPath == "-") {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        return true;
    }
    const std::string reason = platform::writeResultFile(jsonPath.utf8_string(), text);
    if (reason.empty())
        return true;
    const std::string message =
        "Error writing result file '" + jsonPath.utf8_string() + "': " + reason + ".";
    KESTREL_ERROR(mainLogger(), message);
    std::fprintf(stderr, "%s\n", message.c_str());
    return false;
}

void ApplicationCore::finishRecording(bool workersEnded) {
    if (!recording)
        return;
    const std::string warning = recording->finish(exitCode, installedUpdateInfo(), workersEnded);
    if (!warning.empty())
        std::fprintf(stderr, "%s\n", warning.c_str());
}

bool ApplicationCore::waitForWorkers() {
    WorkerThreads& workers = StateMachine::instance().workers;
    if (workers.running() == 0)
        return true;
    KESTREL_DEBUG(mainLogger(), "Waiting for " << workers.running() << " worker thread(s)");
    if (workers.waitUntilIdle(kWorkerEndWaitMs))
        return true;
    KESTREL_ERROR(mainLogger(), "A worker thread did not end within " << kWorkerEndWaitMs << " ms");
    return false;
}

bool ApplicationCore::writeExitCodeFile() {
    exitCodeFileProblem =
        platform::writeResultFile(exitCodePath.utf8_string(), std::to_string(exitCode) + "\n");
    return exitCodeFileProblem.empty();
}

void ApplicationCore::reportExitCodeFileFailure() {
    const std::string text = "Error writing exit code file '" + exitCodePath.utf8_string() +
                             "': " + exitCodeFileProblem + ".";
    KESTREL_ERROR(mainLogger(), text);
    std::fprintf(stderr, "%s\n", text.c_str());
}

int ApplicationCore::openWindow(int window, int parent, int stateNumber) {
    KESTREL_DEBUG(mainLogger(), "Application::openWindow(" << window << ", " << parent << ", "
                                                           << stateNumber << ")");
    if (parent != kNoParent && !windowExists(parent)) {
        KESTREL_ERROR(mainLogger(), "Window " << parent << " not found");
        return kResultWindowNotFound;
    }
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
        showMainWindow(window, execMode != execNoInterface);
        return 0;
    case kWindowError: {
        resultDialogKind = stateNumber;
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
        if (execMode == execNormal)
            showResultDialog(window, parent, stateNumber);
        return error;
    }
    case kWindowSuccess:
        resultDialogKind = stateNumber;
        if (execMode == execNormal)
            showResultDialog(window, parent, stateNumber);
        return 0;
    case kWindowProgress:
        // A new card's check: the result of a card checked before it no longer stands.
        if (stateNumber == StateMachine::kCheckDevice)
            exitCode = 0;
        if (execMode != execNoInterface)
            showProgressDialog(parent);
        return 0;
    default:
        KESTREL_ERROR(mainLogger(), "Cannot open window " << window);
        return kResultWindowNotFound;
    }
}

int ApplicationCore::refreshWindow(int window) {
    KESTREL_DEBUG(mainLogger(), "Application::refreshWindow(" << window << ")");
    if (window == kWindowUpdate)
        return refreshMainWindow() ? 0 : kResultRefreshWindowFailed;
    KESTREL_ERROR(mainLogger(), "Cannot refresh window " << window);
    return kResultWindowNotRefreshable;
}

int ApplicationCore::closeWindow(int window) {
    KESTREL_DEBUG(mainLogger(), "Application::closeWindow(" << window << ")");
    switch (window) {
    case kWindowError:
    case kWindowSuccess:
    case kWindowProgress:
    case kWindowWelcome:
    case kWindowUpdate:
        destroyWindow(window);
        return 0;
    default:
        KESTREL_ERROR(mainLogger(), "Cannot close window " << window);
        return kResultWindowNotFound;
    }
}

void ApplicationCore::onTraitEvent(TraitEvent& event) {
    KESTREL_DEBUG(mainLogger(), "Handling event " << event.text());
    StateMachine& machine = StateMachine::instance();
    switch (event.kind) {
    case ctetTerminateApp:
        framework.ExitMainLoop();
        break;
    case ctetOpenWindow: {
        const int result = openWindow(event.arg1, event.arg2, event.arg3);
        if (result != 0 && exitCode == 0)
            exitCode = result;
        if (execMode != execNormal || interrupted)
            answerOpenedWindow(event.arg1);
        break;
    }
    case ctetRefreshWindow:
        refreshWindow(event.arg1);
        if (execMode != execNormal && event.arg1 == kWindowUpdate) {
            if (checkOnly)
                endCheck();
            else if (clickUpdate())
                exitCode = 0;
        }
        break;
    case ctetCloseWindow:
        closeWindow(event.arg1);
        break;
    case ctetProgress:
        if (!AppUpdateTrait::dispatchEndOfUpdate(machine, event.arg1, event.arg2))
            updateProgress(event.arg1, event.arg2);
        break;
    case ctetPower:
        powerChanged(event.arg1 != 0);
        break;
    case ctetEnableNext:
        enableNext();
        break;
    case ctetDisableNext:
        disableNext();
        break;
    default:
        KESTREL_ERROR(mainLogger(), "Unknown event (code " << event.kind << ")");
        break;
    }
}

void ApplicationCore::answerOpenedWindow(int window) {
    StateMachine& machine = StateMachine::instance();
    switch (window) {
    case kWindowWelcome:
        if (exitCode != 0)
            machine.dispatch(sigCancel);
        break;
    case kWindowUpdate:
        if (checkOnly)
            endCheck();
        else
            machine.dispatch(sigUpdate);
        break;
    case kWindowError:
    case kWindowSuccess:
        machine.dispatch(sigCancel);
        break;
    default:
        break;
    }
}

void ApplicationCore::endCheck() {
    // An interrupted run keeps its result.
    if (!checkFindings && !interrupted) {
        UpdateInfo* info = installedUpdateInfo();
        auto findings = std::make_unique<CheckFindings>();
        const int32_t code =
            info != nullptr ? checkFindingsOf(*info, *findings) : kResultNoUpdateInfo;
        if (code == 0) {
            checkFindings = std::move(findings);
            exitCode = 0;
        } else {
            KESTREL_ERROR(mainLogger(),
                          "Cannot tell what an update would flash (error " << code << ")");
            exitCode = code;
        }
        KESTREL_INFO(mainLogger(), "Check done, nothing flashed");
    }
    StateMachine::instance().dispatch(sigCancel);
}

} // namespace Kestrel
