#include "app/util/Log.h"

#include "gui/ProgramEntry.h"

#include "gui/Application.h"
#include "gui/ConsoleApplication.h"
#include "platform/Process.h"

#include <KestrelVersion.h>

#include <wx/cmdline.h>
#include <wx/init.h>
#include <wx/msgout.h>

#include <cstdio>

namespace Kestrel {
namespace {

constexpr int kParsedHelp = -1;
constexpr int kParsedOk = 0;

enum class Choice { help, version, console, gui };

// The first reading of the command line stays silent: the application object's own parser
// reports what is wrong.
class SilentOutput : public wxMessageOutput {
protected:
    void Output(const wxString&) override {}
};

// The command line as the framework will read it, with the framework's standard entries.
Choice choose(int argc, char** argv, wxString& usage) {
    wxCmdLineParser parser(argc, argv);
    ApplicationCore::describeOptions(parser);
    parser.AddSwitch("h", "help", "show this help message", wxCMD_LINE_OPTION_HELP);
    parser.AddSwitch(wxEmptyString, "verbose", "generate verbose log messages");
    SilentOutput silent;
    wxMessageOutput* previous = wxMessageOutput::Set(&silent);
    const int parsed = parser.Parse(false);
    wxMessageOutput::Set(previous);
    usage = parser.GetUsageString();
    if (parsed == kParsedHelp)
        return Choice::help;
    if (parsed != kParsedOk)
        return Choice::console;
    if (parser.Found(ApplicationCore::kVersionOption))
        return Choice::version;
    if (parser.Found("q") || parser.Found(ApplicationCore::kCheckOption) ||
        !platform::displayAvailable())
        return Choice::console;
    return Choice::gui;
}

} // namespace

int runProgram(int argc, char** argv) {
    wxString usage;
    switch (choose(argc, argv, usage)) {
    case Choice::help:
        std::fputs(usage.utf8_str().data(), stdout);
        return 0;
    case Choice::version:
        std::printf("%s %s\n", kApplicationName, kVersion);
        return 0;
    case Choice::console:
        wxAppConsole::SetInstance(new ConsoleApplication);
        break;
    case Choice::gui:
        wxAppConsole::SetInstance(new Application);
        break;
    }
    return wxEntry(argc, argv);
}

} // namespace Kestrel
