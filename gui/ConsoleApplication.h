#pragma once

#include "gui/ApplicationCore.h"

#include <wx/app.h>

namespace Kestrel {

// The program's application object when no window is ever shown (-q): the same workflow,
// traits and event loop without the GUI toolkit, so it runs without a display. The windows
// exist only as the workflow's bookkeeping: the main window is "open" between its opening and
// its closing, and no dialog is ever created.
class ConsoleApplication : public wxAppConsole, public ApplicationCore {
public:
    ConsoleApplication();
    ~ConsoleApplication() override;

    bool OnInit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;
    int OnRun() override;
    int OnExit() override;

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

private:
    bool mainWindowOpen = false;
};

} // namespace Kestrel
