#include "GuiTestSupport.h"

#include "gui/ResourceFsHandler.h"
#include "platform/Clock.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>
#include <wx/filesys.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/utils.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

namespace guitest {
namespace {

pid_t xvfb = 0;
std::string root;
Kestrel::Application* application = nullptr;

class GuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ensureDisplay();
        char folder[] = "/tmp/kestrel-gui-XXXXXX";
        root = mkdtemp(folder);
        std::filesystem::create_directories(root + "/devices");
        std::ofstream(root + "/services.json") << "{\"CmxService\": \"running\"}\n";
        std::ofstream(root + "/power.json") << "{\"acOnline\": true, \"batteryPercent\": 100}\n";
        setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
        platform::overrideTimeScale(0.01);

        application = new Kestrel::Application;
        wxApp::SetInstance(application);
        static char name[] = "gui_tests";
        static char* argv[] = {name, nullptr};
        int argc = 1;
        ASSERT_TRUE(wxEntryStart(argc, argv)) << "the framework needs a display";
        wxImage::AddHandler(new wxPNGHandler);
        wxImage::AddHandler(new wxXPMHandler);
        wxFileSystem::AddHandler(new Kestrel::ResourceFsHandler);
        application->SetExitOnFrameDelete(false);
    }
    void TearDown() override {
        wxEntryCleanup();
        application = nullptr;
        if (xvfb > 0) {
            kill(xvfb, SIGTERM);
            waitpid(xvfb, nullptr, 0);
            xvfb = 0;
        }
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

} // namespace

void ensureDisplay() {
    const char* display = std::getenv("DISPLAY");
    if ((display != nullptr && *display != '\0') || xvfb > 0)
        return;
    int fds[2];
    if (pipe(fds) != 0)
        return;
    // The server outlives a test program that is killed; it must not hold its output open.
    testsupport::ChildSetup setup;
    setup.inputFile = "/dev/null";
    setup.outputFile = "/dev/null";
    setup.errorsWithOutput = true;
    setup.closeInChild = fds[0];
    setup.searchPath = true;
    xvfb = testsupport::startChild({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                    "1280x1024x24", "-nolisten", "tcp", "-noreset"},
                                   setup);
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (!number.empty())
        setenv("DISPLAY", (":" + number).c_str(), 1);
}

Kestrel::Application& app() {
    return *application;
}

const std::string& machineRoot() {
    return root;
}

void pump(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        application->ProcessPendingEvents();
        wxYield();
        application->ProcessIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < end);
}

StateMachine& freshMachine() {
    StateMachine& machine = StateMachine::instance();
    // The one machine is static; the tests rebuild it in place between cases.
    machine.~StateMachine();
    new (&machine) StateMachine();
    return machine;
}

std::string screenshot(wxWindow* window, const std::string& name) {
    pump(300);
    const wxRect rect = window->GetScreenRect();
    std::filesystem::create_directories(KESTREL_SCREENSHOT_DIR);
    const std::string path = std::string(KESTREL_SCREENSHOT_DIR) + "/" + name + ".png";
    const std::string command = "import -window root -crop " + std::to_string(rect.width) + "x" +
                                std::to_string(rect.height) + "+" + std::to_string(rect.x) + "+" +
                                std::to_string(rect.y) + " +repage '" + path + "'";
    if (std::system(command.c_str()) != 0)
        return std::string();
    return path;
}

} // namespace guitest
