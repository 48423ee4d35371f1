#include "app/util/Log.h"

#include "gui/Application.h"

#include "app/StateMachine.h"
#include "gui/ErrorDialog.h"
#include "gui/MainWindow.h"
#include "gui/ProgressDialog.h"

#include <wx/image.h>
#include <wx/msgdlg.h>
#include <wx/sysopt.h>

namespace Kestrel {

namespace {

constexpr int kErrorDialogId = 0;
constexpr int kSuccessDialogId = 1;

// The framework destroys the window after the current event; the slot is free at once.
template <class Window> void destroyDeferred(Window*& slot) {
    if (slot != nullptr) {
        slot->Destroy();
        slot = nullptr;
    }
}

} // namespace

Application::Application() : ApplicationCore(static_cast<wxAppConsole&>(*this)) {}

Application::~Application() = default;

void Application::OnInitCmdLine(wxCmdLineParser& parser) {
    describeOptions(parser);
    wxApp::OnInitCmdLine(parser);
}

bool Application::OnCmdLineParsed(wxCmdLineParser& parser) {
    return commandLineParsed(parser);
}

bool Application::OnInit() {
    if (!wxApp::OnInit())
        return false;
    return start();
}

void Application::prepareToolkit() {
    wxSystemOptions::SetOption("msw.remap", 0);
    wxImage::AddHandler(new wxPNGHandler);
    wxImage::AddHandler(new wxXPMHandler);
    // The workflow ends the main loop itself, whatever windows remain.
    SetExitOnFrameDelete(false);
}

void Application::showError(const wxString& text) {
    if (execMode == execNormal)
        wxMessageBox(text, kApplicationName, wxOK | wxICON_ERROR);
    else
        ApplicationCore::showError(text);
}

int Application::OnRun() {
    return run([this] { wxApp::OnRun(); });
}

int Application::OnExit() {
    finish();
    return 0;
}

wxWindow* Application::windowByNumber(int number) const {
    switch (number) {
    case kWindowWelcome:
    case kWindowUpdate:
        return mainWindow;
    case kWindowError:
    case kWindowSuccess:
        return errorDialog;
    case kWindowProgress:
        return progressDialog;
    default:
        return nullptr;
    }
}

bool Application::windowExists(int window) const {
    return windowByNumber(window) != nullptr;
}

void Application::showMainWindow(int page, bool show) {
    if (mainWindow == nullptr)
        mainWindow = new MainWindow(kApplicationName);
    mainWindow->Show(show);
    SetTopWindow(mainWindow);
    mainWindow->showPage(page == kWindowWelcome ? MainWindow::kWelcomePage
                                                : MainWindow::kUpdatePage);
}

bool Application::refreshMainWindow() {
    if (mainWindow == nullptr)
        return false;
    mainWindow->refresh();
    return true;
}

bool Application::clickUpdate() {
    if (mainWindow == nullptr)
        return false;
    mainWindow->clickUpdate();
    return true;
}

void Application::showResultDialog(int window, int parent, int stateNumber) {
    if (errorDialog == nullptr) {
        const int dialogId = window == kWindowSuccess ? kSuccessDialogId : kErrorDialogId;
        errorDialog =
            new ErrorDialog(windowByNumber(parent), dialogId, kApplicationName, stateNumber);
    }
    errorDialog->Show();
}

void Application::showProgressDialog(int parent) {
    if (progressDialog == nullptr)
        progressDialog = new ProgressDialog(windowByNumber(parent));
    progressDialog->Show();
}

void Application::updateProgress(int code, int value) {
    if (progressDialog != nullptr)
        progressDialog->update(code, value);
}

void Application::destroyWindow(int window) {
    switch (window) {
    case kWindowError:
    case kWindowSuccess:
        destroyDeferred(errorDialog);
        break;
    case kWindowProgress:
        destroyDeferred(progressDialog);
        break;
    default:
        destroyDeferred(mainWindow);
        break;
    }
}

void Application::powerChanged(bool onBattery) {
    if (mainWindow != nullptr) {
        mainWindow->setOnBattery(onBattery);
        mainWindow->refreshCautions();
    }
}

void Application::enableNext() {
    if (mainWindow != nullptr)
        mainWindow->enableNext();
}

void Application::disableNext() {
    if (mainWindow != nullptr)
        mainWindow->disableNext();
}

} // namespace Kestrel
