#include "KestrelBinaryFixture.h"

#include <gtest/gtest.h>

namespace {

using namespace kestrel_binary;

constexpr const char* kTitle = "^Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard$";

// kestrel on the test program's display under a window manager, driven from the keyboard
// with xdotool as a user would: the window manager gives the focus, the keys go to it.
class Keyboard : public KestrelBinary {
protected:
    void SetUp() override {
        KestrelBinary::SetUp();
        guitest::ensureDisplay();
        const pid_t manager = spawn({"jwm"}, root / "jwm.txt");
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
        // The toolkit settles the focus inside the window after it is activated.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const ProcessRun pressed = program("xdotool", {"key", "--clearmodifiers", key}, "20");
        ASSERT_EQ(pressed.exitCode, 0) << pressed.output;
    }

    void screenshot(const std::string& name) {
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
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screenshot("keyboard-update-page.png");
    press("Return");
    ASSERT_TRUE(waitForLog("Dispatch event 'sigUpdate'")) << "Enter starts the update\n" << log();
    ASSERT_TRUE(waitForLog("Application::openWindow(4", 60000)) << log();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screenshot("keyboard-welcome-page.png");
    press("Escape");
    EXPECT_EQ(waitForExit(pid, std::chrono::seconds(30)), 0) << log();
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_NE(log().find("Dispatch event 'sigCancel'"), std::string::npos);
}

} // namespace
