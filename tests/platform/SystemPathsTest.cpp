#include "platform/SystemPaths.h"

#include <gtest/gtest.h>

#include <pwd.h>

#include <cstdlib>
#include <string>

namespace {

class Environment : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("KESTREL_SIM_ROOT");
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("PKEXEC_UID");
    }
};

TEST_F(Environment, SystemPathsMoveUnderTheSimulatedSysroot) {
    unsetenv("KESTREL_SIM_ROOT");
    EXPECT_FALSE(platform::simulatedMachineRoot());
    EXPECT_EQ(platform::sharedDataFolder(), "/var/log");

    setenv("KESTREL_SIM_ROOT", "/tmp/machine", 1);
    EXPECT_EQ(*platform::simulatedMachineRoot(), "/tmp/machine");
    EXPECT_EQ(platform::sharedDataFolder(), "/tmp/machine/sysroot/var/log");
    EXPECT_EQ(platform::systemPath("/var/lib/kestrel"), "/tmp/machine/sysroot/var/lib/kestrel");
}

TEST_F(Environment, ConfigFolderPrefersXdgConfigHome) {
    setenv("XDG_CONFIG_HOME", "/tmp/config-home", 1);
    EXPECT_EQ(platform::userConfigFolder(), "/tmp/config-home");
    unsetenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(platform::userConfigFolder(), std::string(home) + "/.config");
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(platform::userConfigFolder(), std::string(home) + "/.config")
        << "a relative XDG_CONFIG_HOME is ignored";
}

TEST_F(Environment, ConfigFolderAfterAnElevatedRelaunchIsTheInvokingUsers) {
    // pkexec runs the relaunch as root with root's environment and names the invoker.
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    setenv("XDG_CONFIG_HOME", "/tmp/config-home", 1);
    setenv("PKEXEC_UID", std::to_string(nobody->pw_uid).c_str(), 1);
    EXPECT_EQ(platform::userConfigFolder(), std::string(nobody->pw_dir) + "/.config");

    // A malformed or unknown invoker changes nothing.
    for (const char* bad : {"", "12x", "99999999999", "4294967294"}) {
        setenv("PKEXEC_UID", bad, 1);
        EXPECT_EQ(platform::userConfigFolder(), "/tmp/config-home") << bad;
    }
}

} // namespace
