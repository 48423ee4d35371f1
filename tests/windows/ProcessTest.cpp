#include "platform/Process.h"

#include <gtest/gtest.h>

#include <cstdlib>

// The administrator check reads the token's groups: wine's user is an administrator, as an
// elevated process on Windows is. System error texts come from the system's message table.
namespace {

TEST(ProcessOnWindows, WinesUserIsAnAdministratorAndASimulatedMachineCanSayOtherwise) {
    EXPECT_TRUE(platform::isAdministrator());
    setenv("KESTREL_SIM_ROOT", "kestrel-simulated", 1);
    setenv("KESTREL_ADMINISTRATOR", "0", 1);
    EXPECT_FALSE(platform::isAdministrator());
    unsetenv("KESTREL_ADMINISTRATOR");
    EXPECT_TRUE(platform::isAdministrator());
    unsetenv("KESTREL_SIM_ROOT");
}

TEST(ProcessOnWindows, SystemErrorTextsComeFromTheSystemWithoutTheLineBreak) {
    const std::string notFound = platform::systemErrorText(2);
    EXPECT_FALSE(notFound.empty());
    EXPECT_NE(notFound, "System error 2.");
    EXPECT_NE(notFound.back(), '\n');
    EXPECT_EQ(platform::systemErrorText(0xDEADBEEF), "System error 3735928559.");
}

} // namespace
