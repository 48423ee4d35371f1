#pragma once

// A private system bus (DBUS_SYSTEM_BUS_ADDRESS) with python3-dbusmock mocks of the system's
// services on it, for the tests of the Linux backends that talk to them.

#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bustest {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kGdbus = "/usr/bin/gdbus";
constexpr const char* kModemManagerName = "org.freedesktop.ModemManager1";
constexpr const char* kSystemdName = "org.freedesktop.systemd1";
constexpr const char* kLogindName = "org.freedesktop.login1";
constexpr auto kChangeWait = std::chrono::seconds(10);
constexpr auto kChangePoll = std::chrono::milliseconds(20);
constexpr const char* kNameWaitSeconds = "10";

// A process of the test's own, ended by its id, and killed with the test process when that
// ends without ending it; tests start these processes on their main thread.
class Process {
public:
    explicit Process(const std::vector<std::string>& arguments) {
        testsupport::ChildSetup setup;
        setup.killWithTest = true;
        pid_ = testsupport::startChild(arguments, setup);
    }
    ~Process() { end(SIGTERM); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Sends `signal` and reaps the process; its exit status, -1 after a signal.
    int end(int signal) {
        if (pid_ <= 0)
            return -1;
        if (signal != 0)
            kill(pid_, signal);
        const int status = testsupport::waitForChild(pid_);
        pid_ = -1;
        return status;
    }
    int wait() { return end(0); }
    pid_t id() const { return pid_; }

private:
    pid_t pid_ = -1;
};

class SystemBus {
public:
    explicit SystemBus(const std::string& folder) : folder_(folder) {
        address_ = "unix:path=" + folder + "/system_bus_socket";
        bus_ = std::make_unique<Process>(std::vector<std::string>{
            kDbusDaemon, "--session", "--nofork", "--nopidfile", "--address=" + address_});
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        // The socket exists once bound, a moment before the bus takes connections on it.
        const auto deadline = std::chrono::steady_clock::now() + kChangeWait;
        while (!accepts(folder + "/system_bus_socket") &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(kChangePoll);
    }
    ~SystemBus() {
        logind_.reset();
        systemd_.reset();
        modemManager_.reset();
        bus_.reset();
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    // Starts the ModemManager mock with these parameters and waits until it owns its name and
    // has set itself up (dbusmock takes the name first; the mock's first record comes after).
    bool startModemManager(nlohmann::json parameters) {
        parameters["state_file"] = stateFile();
        std::error_code error;
        std::filesystem::remove(stateFile(), error);
        modemManager_ = std::make_unique<Process>(std::vector<std::string>{
            kPython, "-m", "dbusmock", "--system", "-t",
            std::string(KESTREL_MOCKS) + "/modemmanager.py", "-p", parameters.dump()});
        return waitForName(kModemManagerName) &&
               waitForState([](const nlohmann::json& state) { return state.contains("calls"); });
    }
    void stopModemManager() { modemManager_.reset(); }

    // Starts the systemd mock with these parameters ({"units": {"NAME.service": "active"}}) and
    // waits until it owns its name.
    bool startSystemd(nlohmann::json parameters) {
        parameters["state_file"] = systemdStateFile();
        systemd_ = std::make_unique<Process>(std::vector<std::string>{
            kPython, "-m", "dbusmock", "--system", "-t", std::string(KESTREL_MOCKS) + "/systemd.py",
            "-p", parameters.dump()});
        return waitForName(kSystemdName);
    }

    // Starts python3-dbusmock's own logind template and waits until it owns its name.
    bool startLogind() {
        logind_ = std::make_unique<Process>(
            std::vector<std::string>{kPython, "-m", "dbusmock", "--system", "-t", "logind"});
        return waitForName(kLogindName);
    }

    // What logind's ListInhibitors answers, as gdbus prints it.
    static std::string logindInhibitors() {
        return output({kGdbus, "call", "--system", "--dest", kLogindName, "--object-path",
                       "/org/freedesktop/login1", "--method",
                       "org.freedesktop.login1.Manager.ListInhibitors"});
    }

    // Standard output of a short command of the test's own.
    static std::string output(const std::vector<std::string>& arguments) {
        char pattern[] = "/tmp/kestrel-bus-output-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0)
            return "";
        testsupport::ChildSetup setup;
        setup.outputDescriptor = fd;
        const pid_t pid = testsupport::startChild(arguments, setup);
        if (pid > 0)
            testsupport::waitForChild(pid);
        close(fd);
        std::ifstream file(pattern);
        std::stringstream text;
        text << file.rdbuf();
        unlink(pattern);
        return text.str();
    }

    // Waits (bounded) until `name` has an owner on the bus.
    static bool waitForName(const std::string& name) {
        Process wait({kGdbus, "wait", "--system", "--timeout", kNameWaitSeconds, name});
        return wait.wait() == 0;
    }

    std::string stateFile() const { return folder_ + "/modemmanager.state.json"; }
    std::string systemdStateFile() const { return folder_ + "/systemd.state.json"; }

    // The mock's record: {"calls": [[uid, inhibit, sender]...], "inhibited": {uid: sender}}.
    nlohmann::json modemManagerState() const { return readState(stateFile()); }
    // The systemd mock's record: {"units": {name: ActiveState}, "calls": [[method, name]...]}.
    nlohmann::json systemdState() const { return readState(systemdStateFile()); }

    // Waits (bounded) until the mock's record satisfies `ready`.
    template <class Predicate> bool waitForState(Predicate ready) const {
        const auto deadline = std::chrono::steady_clock::now() + kChangeWait;
        while (!ready(modemManagerState())) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(kChangePoll);
        }
        return true;
    }

private:
    static nlohmann::json readState(const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        auto state = nlohmann::json::parse(text.str(), nullptr, false);
        return state.is_discarded() ? nlohmann::json::object() : state;
    }
    static bool accepts(const std::string& socketPath) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socketPath.size() >= sizeof address.sun_path)
            return false;
        socketPath.copy(address.sun_path, socketPath.size());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        const bool connected =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return connected;
    }

    std::string folder_;
    std::string address_;
    std::unique_ptr<Process> bus_;
    std::unique_ptr<Process> modemManager_;
    std::unique_ptr<Process> systemd_;
    std::unique_ptr<Process> logind_;
};

} // namespace bustest
