#include "platform/Service.h"
#include "platform/linux/ServiceSystemd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace platform;
namespace fs = std::filesystem;

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-service-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KESTREL_SIM_ROOT");
        std::error_code error;
        fs::remove_all(root, error);
    }
    void writeServices(const std::string& text) { std::ofstream(root / "services.json") << text; }
    std::string readServices() {
        std::ifstream in(root / "services.json");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path root;
};

TEST_F(ServiceTest, RunningServiceStopsAndStartsAgainWithWin32Results) {
    writeServices(R"({"CmxService": "running", "Other": "disabled"})");
    EXPECT_EQ(stopService("CmxService"), ServiceError::kOk);
    EXPECT_NE(readServices().find("\"CmxService\": \"stopped\""), std::string::npos);
    EXPECT_EQ(stopService("CmxService"), ServiceError::kNotActive);
    EXPECT_EQ(startService("CmxService"), ServiceError::kOk);
    EXPECT_NE(readServices().find("\"CmxService\": \"running\""), std::string::npos);
    EXPECT_EQ(startService("CmxService"), ServiceError::kAlreadyRunning);
    // The other service is carried through the rewrites unchanged.
    EXPECT_NE(readServices().find("\"Other\": \"disabled\""), std::string::npos);
}

TEST_F(ServiceTest, DisabledServiceCannotStartAndDoesNotRun) {
    writeServices(R"({"CmxService": "disabled"})");
    EXPECT_EQ(startService("CmxService"), ServiceError::kDisabled);
    EXPECT_EQ(stopService("CmxService"), ServiceError::kNotActive);
    EXPECT_NE(readServices().find("disabled"), std::string::npos);
}

TEST_F(ServiceTest, ServiceAbsentFromTheFileOrWithoutFileIsNotInstalled) {
    EXPECT_EQ(stopService("CmxService"), ServiceError::kDoesNotExist);
    EXPECT_EQ(startService("CmxService"), ServiceError::kDoesNotExist);
    EXPECT_FALSE(fs::exists(root / "services.json"));
    writeServices(R"({"Other": "running"})");
    uint32_t error = 1;
    auto manager = ServiceManager::connect(error);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(error, ServiceError::kOk);
    EXPECT_EQ(manager->openService("CmxService"), ServiceError::kDoesNotExist);
    EXPECT_EQ(manager->openService("Other"), ServiceError::kOk);
    // Names are exact: another letter case is another service.
    EXPECT_EQ(manager->openService("other"), ServiceError::kDoesNotExist);
}

TEST_F(ServiceTest, MalformedServicesFileIsRefusedAndLeftAsItWas) {
    for (const std::string bad : {"{\"CmxService\": \"runing\"}", "{\"CmxService\": 1}", "[]",
                                  "{\"CmxService\": \"running\"", ""}) {
        writeServices(bad);
        uint32_t error = 0;
        EXPECT_EQ(ServiceManager::connect(error), nullptr) << bad;
        EXPECT_EQ(error, 13u) << bad;
        EXPECT_EQ(stopService("CmxService"), 13u) << bad;
        EXPECT_EQ(readServices(), bad);
    }
}

TEST_F(ServiceTest, ConcurrentStopsAndStartsOfTwoServicesLoseNoChange) {
    writeServices(R"({"A": "running", "B": "stopped"})");
    std::thread first([] {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(stopService("A"), ServiceError::kOk);
            EXPECT_EQ(startService("A"), ServiceError::kOk);
        }
    });
    std::thread second([] {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(startService("B"), ServiceError::kOk);
            EXPECT_EQ(stopService("B"), ServiceError::kOk);
        }
    });
    first.join();
    second.join();
    const std::string text = readServices();
    EXPECT_NE(text.find("\"A\": \"running\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"B\": \"stopped\""), std::string::npos) << text;
}

TEST(ServiceSystemdTest, UnreachableSystemBusCountsAsServiceNotInstalled) {
    const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string previous = saved != nullptr ? saved : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kestrel-test-bus", 1);
    unsetenv("KESTREL_SIM_ROOT");
    uint32_t error = 0;
    EXPECT_EQ(connectSystemdServiceManager(error), nullptr);
    EXPECT_EQ(error, ServiceError::kDoesNotExist);
    EXPECT_EQ(stopService("CmxService"), ServiceError::kDoesNotExist);
    EXPECT_EQ(startService("CmxService"), ServiceError::kDoesNotExist);
    if (saved != nullptr)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", previous.c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(ServiceSystemdTest, BusErrorsMapToWin32ResultsAndAnUnansweredManagerToNotInstalled) {
    EXPECT_EQ(systemdServiceError("org.freedesktop.systemd1.NoSuchUnit", -ENOENT),
              ServiceError::kDoesNotExist);
    EXPECT_EQ(systemdServiceError("org.freedesktop.systemd1.UnitMasked", -ESHUTDOWN),
              ServiceError::kDisabled);
    EXPECT_EQ(systemdServiceError("org.freedesktop.DBus.Error.AccessDenied", -EACCES),
              ServiceError::kAccessDenied);
    EXPECT_EQ(
        systemdServiceError("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", -EBADR),
        ServiceError::kAccessDenied);
    EXPECT_EQ(systemdServiceError(nullptr, -EPERM), ServiceError::kAccessDenied);
    // A bus without systemd is no reachable manager.
    for (const char* name :
         {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.Disconnected",
          "org.freedesktop.DBus.Error.NameHasNoOwner"})
        EXPECT_EQ(systemdServiceError(name, -EIO), ServiceError::kDoesNotExist) << name;
    for (int local : {-ENOTCONN, -ECONNRESET, -ECONNREFUSED, -EPIPE})
        EXPECT_EQ(systemdServiceError(nullptr, local), ServiceError::kDoesNotExist) << local;
    // A manager that does not answer is there: a time-out, not absence.
    for (const char* name :
         {"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.Timeout",
          "org.freedesktop.DBus.Error.TimedOut"})
        EXPECT_EQ(systemdServiceError(name, -ETIMEDOUT), ServiceError::kRequestTimeout) << name;
    EXPECT_EQ(systemdServiceError(nullptr, -ETIMEDOUT), ServiceError::kRequestTimeout);
    EXPECT_EQ(systemdServiceError("org.freedesktop.DBus.Error.Failed", -EIO),
              ServiceError::kCannotAcceptControl);
}

} // namespace
