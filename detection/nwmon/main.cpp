// kestrel-nwmon: initialises the detection library on the real or the simulated machine and
// prints every notification with the card information it reads, until interrupted. Commands
// on standard input: "exclusive [MS]", "leave", "confirm", "inuse", "info", "quit".

#include "detection/Nw.h"
#include "detection/WideText.h"
#include "platform/MessageWindow.h"
#include "platform/Environment.h"
#include "platform/NamedObject.h"
#include "platform/TerminationRequest.h"

#include <KestrelVersion.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr uint32_t kCommandMessage = platform::kMessageApp + 1;
constexpr uint32_t kDefaultExclusiveTimeoutMs = 2048;
constexpr uint32_t kCardInfoSize = sizeof(NwCardInfo);

struct Options {
    bool confirm = true;
    int logLevel = 1;
    bool exclusiveAtStart = false;
    uint32_t exclusiveTimeoutMs = kDefaultExclusiveTimeoutMs;
};

Options options;
std::mutex outputMutex;
std::mutex commandsMutex;
std::deque<std::string> commands;

void say(const std::string& line) {
    std::lock_guard<std::mutex> guard(outputMutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void logSink(const wchar_t* text, void*) {
    say("log: " + detection::utf8FromWide(text == nullptr ? L"" : text));
}

const char* stateName(uint32_t state) {
    switch (state) {
    case CardStateStopped:
        return "stopped";
    case CardStateStopping:
        return "stopping";
    case CardStateStarting:
        return "starting";
    case CardStateStarted:
        return "started";
    case CardStateSuspended:
        return "suspended";
    default:
        return "unknown";
    }
}

std::string field(const char16_t* text) {
    return detection::utf8FromUtf16(detection::textOf(text, NW_TEXT_LENGTH));
}

// "VID_1234" and "PID_5678" out of the device instance id.
std::string idPart(const std::string& instanceId, const char* key) {
    const auto at = instanceId.find(key);
    if (at == std::string::npos)
        return "-";
    return instanceId.substr(at + std::strlen(key), 4);
}

void printCard(const char* prefix) {
    NwCardInfo info{};
    info.size = kCardInfoSize;
    const uint32_t result = NwGetCardInfo(&info);
    std::ostringstream line;
    line << prefix;
    if (result == NwErrorNoCard) {
        line << " card=none";
    } else if (result != 0) {
        line << " error=" << result;
    } else {
        const std::string instance = field(info.deviceInstanceId);
        char numbers[128];
        std::snprintf(numbers, sizeof numbers, " model=0x%x family=%d stack=%d driverCap=0x%x",
                      info.model, info.family, info.stackType, info.driverCap);
        line << " state=" << stateName(info.state) << numbers << " port=[" << field(info.portName)
             << "] modem=[" << field(info.modemName) << "] dbg=[" << field(info.dbgPortName)
             << "] app2=[" << field(info.app2PortName) << "] nic=[" << field(info.wwanNicName)
             << "] netCfg=[" << field(info.netCfgInstanceId) << "] instance=[" << instance
             << "] vid=" << idPart(instance, "VID_") << " pid=" << idPart(instance, "PID_")
             << " driver=" << (info.driverVersionMs >> 16) << "." << (info.driverVersionMs & 0xFFFF)
             << "." << (info.driverVersionLs >> 16) << "." << (info.driverVersionLs & 0xFFFF);
    }
    say(line.str());
    if (result == 0 && info.state == CardStateSuspended && options.confirm)
        say("confirm: " + std::to_string(NwConfirmSuspension()));
}

void onNotification(uint32_t reason) {
    printCard(("notification reason=" + std::to_string(reason)).c_str());
}

void runCommand(const std::string& text) {
    std::istringstream words(text);
    std::string command;
    words >> command;
    if (command == "exclusive") {
        uint32_t timeout = kDefaultExclusiveTimeoutMs;
        words >> timeout;
        say("exclusive: " + std::to_string(NwEnterExclusiveMode(timeout)));
    } else if (command == "leave") {
        say("leave: " + std::to_string(NwLeaveExclusiveMode()));
    } else if (command == "confirm") {
        say("confirm: " + std::to_string(NwConfirmSuspension()));
    } else if (command == "inuse") {
        say("inuse: " + std::to_string(NwIsInUseByOtherProcess()));
    } else if (command == "info") {
        printCard("info");
    } else if (command == "quit") {
        platform::postQuitMessage(0);
    } else if (!command.empty()) {
        say("unknown command: " + command);
    }
}

int64_t commandWindow(const platform::Message& message) {
    if (message.id != kCommandMessage)
        return 0;
    std::string text;
    {
        std::lock_guard<std::mutex> guard(commandsMutex);
        if (commands.empty())
            return 0;
        text = commands.front();
        commands.pop_front();
    }
    runCommand(text);
    return 0;
}

void usage(std::FILE* out) {
    std::fputs("usage: kestrel-nwmon [--root DIR] [--level 0-3] [--exclusive [MS]] "
               "[--no-confirm] [--namespace DIR]\n"
               "  --root DIR        watch the simulated machine DIR (default: the real one, or\n"
               "                    $KESTREL_SIM_ROOT)\n"
               "  --level 0-3       the detection library's log level (default 1)\n"
               "  --exclusive [MS]  enter exclusive mode before initialising, waiting up to MS\n"
               "                    (default 2048)\n"
               "  --no-confirm      do not confirm arrivals\n"
               "  --namespace DIR   keep the named objects in DIR\n"
               "  -h, --help        print this help and exit\n"
               "  --version         print the version and exit\n"
               "commands on standard input: exclusive [MS], leave, confirm, inuse, info, quit\n",
               out);
}

enum class Parsed { run, help, version, wrong };

Parsed parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--help" || arg == "-h") {
            return Parsed::help;
        } else if (arg == "--version") {
            return Parsed::version;
        } else if (arg == "--root") {
            const char* root = next();
            if (root == nullptr)
                return Parsed::wrong;
            platform::setEnvironmentValue("KESTREL_SIM_ROOT", root);
        } else if (arg == "--namespace") {
            const char* folder = next();
            if (folder == nullptr)
                return Parsed::wrong;
            platform::setNamedObjectNamespace(folder);
        } else if (arg == "--level") {
            const char* level = next();
            if (level == nullptr)
                return Parsed::wrong;
            options.logLevel = std::atoi(level);
        } else if (arg == "--exclusive") {
            options.exclusiveAtStart = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                options.exclusiveTimeoutMs =
                    static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--no-confirm") {
            options.confirm = false;
        } else {
            return Parsed::wrong;
        }
    }
    return Parsed::run;
}

} // namespace

int main(int argc, char** argv) {
    switch (parse(argc, argv)) {
    case Parsed::help:
        usage(stdout);
        return 0;
    case Parsed::version:
        std::printf("kestrel-nwmon %s\n", Kestrel::kVersion);
        return 0;
    case Parsed::wrong:
        usage(stderr);
        return 2;
    case Parsed::run:
        break;
    }
    NwSetLogCallback(logSink, nullptr);
    NwSetLogLevel(static_cast<uint16_t>(options.logLevel));
    if (options.exclusiveAtStart)
        say("exclusive: " + std::to_string(NwEnterExclusiveMode(options.exclusiveTimeoutMs)));
    const uint32_t initialised = NwInitialize(nullptr);
    say("initialize: " + std::to_string(initialised));
    if (initialised != 0)
        return 1;
    const platform::WindowHandle window = platform::createMessageWindow(commandWindow, "nwmon");
    const platform::ThreadQueueRef queue = platform::currentThreadQueue();
    NwRegisterNotificationCallback(onNotification);
    say("ready");

    // A request to end (a signal, a console's Ctrl+C) asks the loop to end; a second one ends
    // the process at once.
    platform::watchTerminationRequests([queue](int) { queue.postQuit(0); }, 1);
    std::thread([window] {
        std::string line;
        while (std::getline(std::cin, line)) {
            {
                std::lock_guard<std::mutex> guard(commandsMutex);
                commands.push_back(line);
            }
            platform::postMessage(window, kCommandMessage, 0, 0);
        }
    }).detach();

    const int exitCode = platform::runMessageLoop();
    platform::stopWatchingTerminationRequests();
    platform::destroyMessageWindow(window);
    say("terminate: " + std::to_string(NwTerminate()));
    say("leave: " + std::to_string(NwLeaveExclusiveMode()));
    std::fflush(stdout);
    std::_Exit(exitCode); // the stdin reader may still be blocked
}
