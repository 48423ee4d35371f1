#include "app/util/Log.h"

#include "gui/ConsoleApplication.h"

#include "app/StateMachine.h"
#include "app/WindowTrait.h"

#include <cstdio>

namespace Kestrel {

ConsoleApplication::ConsoleApplication() : ApplicationCore(static_cast<wxAppConsole&>(*this)) {}

ConsoleApplication::~ConsoleApplication() = default;

void ConsoleApplication::OnInitCmdLine(wxCmdLineParser& parser) {
    describeOptions(parser);
    wxAppConsole::OnInitCmdLine(parser);
}

bool ConsoleApplication::OnCmdLineParsed(wxCmdLineParser& parser) {
    if (!parser.Found("q") && !parser.Found(kCheckOption)) {
        // Only the mode without windows runs here; every other mode shows windows.
        std::fputs("kestrel: no display (DISPLAY is not set): the windows of this mode cannot be "
                   "shown; -q runs without them\n",
                   stderr);
        return false;
    }
    return commandLineParsed(parser);
}

bool ConsoleApplication::OnInit() {
    if (!wxAppConsole::OnInit())
        return false;
    return start();
}

int ConsoleApplication::OnRun() {
    return run([this] { wxAppConsole::OnRun(); });
}

int ConsoleApplication::OnExit() {
    finish();
    return 0;
}

bool ConsoleApplication::windowExists(int window) const {
    return (window == kWindowWelcome || window == kWindowUpdate) && mainWindowOpen;
}

void ConsoleApplication::showMainWindow(int, bool) {
    mainWindowOpen = true;
}

bool ConsoleApplication::refreshMainWindow() {
    return mainWindowOpen;
}

bool ConsoleApplication::clickUpdate() {
    if (!mainWindowOpen)
        return false;
    StateMachine::instance().dispatch(sigUpdate);
    return true;
}

// The console object serves only the mode without windows, which never shows a dialog.
void ConsoleApplication::showResultDialog(int, int, int) {}

void ConsoleApplication::showProgressDialog(int) {}

void ConsoleApplication::updateProgress(int, int) {}

void ConsoleApplication::destroyWindow(int window) {
    if (window == kWindowWelcome || window == kWindowUpdate)
        mainWindowOpen = false;
}

void ConsoleApplication::powerChanged(bool) {}

void ConsoleApplication::enableNext() {}

void ConsoleApplication::disableNext() {}

} // namespace Kestrel
