#pragma once

#include "gui/ApplicationCore.h"

#include <wx/app.h>

class wxWindow;

namespace Kestrel {

class MainWindow;
class ProgressDialog;
class ErrorDialog;

// The program's application object when windows can be shown: the shared core with the main
// window, the progress dialog and the result dialog.
class Application : public wxApp, public ApplicationCore {
public:
    Application();
    ~Application() override;

    bool OnInit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;
    int OnRun() override;
    int OnExit() override;

    ProgressDialog* progressDialog = nullptr;
    MainWindow* mainWindow = nullptr;
    ErrorDialog* errorDialog = nullptr;

protected:
    bool windowExists(int window) const override;
    void showMainWindow(int page, bool show) override;
    bool refreshMainWindow() override;
    bool clickUpdate() override;
    void showResultDialog(int window, int parent, int stateNumber) override;
    void showProgressDialog(int parent) override;
    void updateProgress(int code, int value) override;
    void destroyWindow(int window) override;
    void powerChanged(bool onBattery) override;
    void enableNext() override;
    void disableNext() override;
    void prepareToolkit() override;
    // A message box when someone can answer it, standard error in the unattended modes.
    void showError(const wxString& text) override;

private:
    wxWindow* windowByNumber(int number) const;
};

} // namespace Kestrel
