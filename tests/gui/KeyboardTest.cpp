#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>

namespace {

using namespace kestrel_binary;

constexpr const char* kTitle = "^Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard$";
constexpr std::chrono::seconds kFocusLimit{20};

// kestrel on the test program's display under a window manager, driven from the keyboard
// with xdotool as a user would: the window manager gives the focus, the keys go to it.
class Keyboard : public KestrelBinary {
protected:
    void SetUp() override {
        KestrelBinary::SetUp();
        guitest::ensureDisplay();
        const pid_t manager = spawn({"jwm"}, outputFile("jwm"));
        ASSERT_GT(manager, 0);
        background.push_back(manager);
    }

    // Gives the newest window titled as the application the focus, then presses `key`.
    void press(const std::string& key) {
        const ProcessRun found =
            program("xdotool", {"search", "--sync", "--onlyvisible", "--name", kTitle}, "20");
        ASSERT_EQ(found.exitCode, 0) << found.output;
        std::istringstream windows(found.standardOutput);
        std::string window;
        for (std::string line; std::getline(windows, line);)
            window = line;
        ASSERT_FALSE(window.empty());
        const ProcessRun activated = program("xdotool", {"windowactivate", "--sync", window}, "20");
        ASSERT_EQ(activated.exitCode, 0) << activated.output;
        // The window manager hands the input focus over after the activation: keys go where
        // the focus is.
        ASSERT_TRUE(waitUntil(
            [&] {
                return program("xdotool", {"getwindowfocus"}, "20").standardOutput == window + "\n";
            },
            kFocusLimit))
            << "window " << window << " never got the focus";
        const ProcessRun pressed = program("xdotool", {"key", "--clearmodifiers", key}, "20");
        ASSERT_EQ(pressed.exitCode, 0) << pressed.output;
    }

    // Once a window of the application is shown.
    void screenshot(const std::string& name) {
        program("xdotool", {"search", "--sync", "--onlyvisible", "--name", kTitle}, "20");
        fs::create_directories(KESTREL_SCREENSHOT_DIR);
        program("import", {"-window", "root", std::string(KESTREL_SCREENSHOT_DIR) + "/" + name},
                "20");
    }
};

TEST_F(Keyboard, EnterOnTheUpdatePageUpdatesAndEnterOnTheResultEndsTheProgram) {
    startCard();
    const pid_t pid = startKestrel({"-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog("Application::refreshWindow(2)")) << log();
    screenshot("keyboard-update-page.png");
    press("Return");
    ASSERT_TRUE(waitForLog("Dispatch event 'sigUpdate'")) << "Enter starts the update\n" << log();
    ASSERT_TRUE(waitForLog("Application::openWindow(4", 60000)) << log();
    screenshot("keyboard-success.png");
    press("Return");
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(30)), 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_TRUE(registryWritten());
}

TEST_F(Keyboard, EscapeOnTheWelcomePageEndsTheProgramAsCloseDoes) {
    const pid_t pid = startKestrel({"-l", "-p", codePath()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLog("Application::openWindow(1")) << log();
    screenshot("keyboard-welcome-page.png");
    press("Escape");
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(30)), 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_NE(log().find("Dispatch event 'sigCancel'"), std::string::npos);
}

} // namespace
