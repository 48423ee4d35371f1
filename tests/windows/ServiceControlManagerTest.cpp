#include "platform/Service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

// Services on Windows are the service control manager's (wine's), also on a simulated machine:
// its services.json is not consulted. The end-to-end test drives a real service through them.
namespace {

TEST(ServiceControlManager, ServiceThatIsNotInstalledGives1060ToStopAndStart) {
    EXPECT_EQ(platform::stopService("KestrelNoSuchService"), platform::ServiceError::kDoesNotExist);
    EXPECT_EQ(platform::startService("KestrelNoSuchService"),
              platform::ServiceError::kDoesNotExist);
}

TEST(ServiceControlManager, SimulatedMachineDoesNotReplaceTheSystemServices) {
    char pattern[] = "kestrel-services-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path root = std::filesystem::absolute(pattern);
    std::ofstream(root / "services.json") << "{\"KestrelSimulatedOnly\": \"running\"}\n";
    setenv("KESTREL_SIM_ROOT", root.string().c_str(), 1);
    EXPECT_EQ(platform::stopService("KestrelSimulatedOnly"), platform::ServiceError::kDoesNotExist);
    unsetenv("KESTREL_SIM_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

} // namespace
