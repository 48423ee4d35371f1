#include "platform/SystemPaths.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class Environment : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("KESTREL_SIM_ROOT");
        unsetenv("XDG_CONFIG_HOME");
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

} // namespace
