// kestrel-cardsim: one simulated card on the simulated machine DIR.

#include "platform/SystemPaths.h"
#include "sim/CardSimulator.h"
#include "sim/Loader.h"
#include "sim/LoaderCommandLine.h"
#include "sim/ReplayCard.h"

#include <KestrelVersion.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

cardsim::CardSimulator* running = nullptr;
cardsim::ReplayCard* replaying = nullptr;

extern "C" void onTerminationSignal(int) {
    if (running != nullptr)
        running->requestStop();
    if (replaying != nullptr)
        replaying->requestStop();
}

// --replay FILE: the recorded card instead of a simulated one.
int replay(const std::string& file, const cardsim::SimulatorOptions& options) {
    std::ifstream input(file, std::ios::binary);
    std::ostringstream text;
    text << input.rdbuf();
    cardsim::SessionReplay session;
    std::string problem;
    if (!input || !session.parse(text.str(), problem)) {
        std::fprintf(stderr, "kestrel-cardsim: cannot replay %s: %s\n", file.c_str(),
                     input ? problem.c_str() : "cannot read it");
        return 2;
    }
    cardsim::ReplayCard card(cardsim::ReplayOptions{options.root, options.name}, session);
    replaying = &card;
    std::signal(SIGINT, onTerminationSignal);
    std::signal(SIGTERM, onTerminationSignal);
    const bool served = card.run(&problem);
    replaying = nullptr;
    if (!served) {
        std::fprintf(stderr, "kestrel-cardsim: %s\n", problem.c_str());
        return 1;
    }
    std::printf("stopped, %zu divergence(s)\n", card.divergences());
    return 0;
}

void usage(std::FILE* out) {
    std::fprintf(
        out,
        "usage: kestrel-cardsim --root DIR [options]   (DIR defaults to $KESTREL_SIM_ROOT)\n"
        "  --root DIR             the simulated machine's folder\n"
        "  --name NAME            device file DIR/devices/NAME.json (default cardsim)\n"
        "  --profile NAME         card profile (default QT0880)\n"
        "  --state FILE           firmware state file (default "
        "DIR/cardsim/NAME.state.json)\n"
        "  --mode-delay MS        time off the bus on a mode change (default 2000)\n"
        "  --leave-delay MS       time between answer and leaving (default 200)\n"
        "  --node-delay MS        time between the stages of a device profile\n"
        "faults:\n"
        "  --silent               answer nothing\n"
        "  --error-on COMMAND     answer ERROR to COMMAND (repeatable)\n"
        "  --no-mode-answer       reset on a mode change without answering\n"
        "  --start-mode N         start in mode N (0 to 4)\n"
        "  --lm-code CODE         report CODE as the LM code\n"
        "  --wrong-lm-code        report a wrong LM code\n"
        "  --split BYTES          send answers in pieces of BYTES\n"
        "  --piece-pause MS       pause between pieces (default 100)\n"
        "  --com-links DIR        publish the ports as COM5 and COM6, linked in DIR (a wine\n"
        "                         prefix's dosdevices) to the current terminals\n"
        "  --replay FILE          be the card recorded by kestrel --record FILE: its trees,\n"
        "                         answers and delays; what it does not hold is a divergence\n");
    cardsim::printLoaderUsage(out);
    std::fprintf(out, "  -h, --help             print this help and exit\n"
                      "  --version              print the version and exit\n");
    std::fprintf(out, "profiles:");
    for (const auto& profile : cardsim::cardProfiles())
        std::fprintf(out, " %s", profile.name.c_str());
    std::fprintf(out, "\n");
}

std::string upperCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// What the command line asks for.
struct CommandLine {
    cardsim::SimulatorOptions options;
    cardsim::LoaderOptions loaderOptions;
    std::string replayFile;
};

constexpr uint64_t kDefaultPiecePauseMs = 100;
constexpr unsigned long long kHighestStartMode = 4;
constexpr unsigned long long kNoMaximum = ~0ull;

struct FlagOption {
    const char* name;
    void (*set)(CommandLine&);
};

struct TextOption {
    const char* name;
    void (*set)(CommandLine&, const char*);
};

struct NumericOption {
    const char* name;
    unsigned long long maximum;
    void (*set)(CommandLine&, unsigned long long);
};

const FlagOption kFlagOptions[] = {
    {"--silent", [](CommandLine& l) { l.options.faults.silent = true; }},
    {"--no-mode-answer", [](CommandLine& l) { l.options.faults.noModeAnswer = true; }},
    {"--wrong-lm-code", [](CommandLine& l) { l.options.faults.lmCode = "QT0880-00000"; }},
};

const TextOption kTextOptions[] = {
    {"--root", [](CommandLine& l, const char* v) { l.options.root = v; }},
    {"--com-links", [](CommandLine& l, const char* v) { l.options.comLinkFolder = v; }},
    {"--name", [](CommandLine& l, const char* v) { l.options.name = v; }},
    {"--profile", [](CommandLine& l, const char* v) { l.options.profile = v; }},
    {"--state", [](CommandLine& l, const char* v) { l.options.stateFile = v; }},
    {"--error-on",
     [](CommandLine& l, const char* v) { l.options.faults.errorCommands.insert(upperCase(v)); }},
    {"--lm-code", [](CommandLine& l, const char* v) { l.options.faults.lmCode = v; }},
    {"--replay", [](CommandLine& l, const char* v) { l.replayFile = v; }},
};

const NumericOption kNumericOptions[] = {
    {"--mode-delay", kNoMaximum,
     [](CommandLine& l, unsigned long long v) { l.options.modeChangeDelayMs = v; }},
    {"--leave-delay", kNoMaximum,
     [](CommandLine& l, unsigned long long v) { l.options.leaveDelayMs = v; }},
    {"--node-delay", kNoMaximum,
     [](CommandLine& l, unsigned long long v) { l.options.nodeDelayMs = static_cast<int64_t>(v); }},
    {"--start-mode", kHighestStartMode,
     [](CommandLine& l, unsigned long long v) { l.options.startMode = static_cast<int>(v); }},
    {"--split", kNoMaximum,
     [](CommandLine& l, unsigned long long v) { l.options.faults.pieceSize = size_t(v); }},
    {"--piece-pause", kNoMaximum,
     [](CommandLine& l, unsigned long long v) { l.options.faults.piecePauseMs = v; }},
};

// Takes one of the simulator's own options. Returns how many arguments it used (1 or 2), 0 when
// the option is not the simulator's, -1 with `problem` set when its value is missing or wrong.
int takeSimulatorOption(const std::string& option, const char* value, CommandLine& line,
                        std::string& problem) {
    for (const FlagOption& candidate : kFlagOptions) {
        if (option == candidate.name) {
            candidate.set(line);
            return 1;
        }
    }
    for (const TextOption& candidate : kTextOptions) {
        if (option != candidate.name)
            continue;
        if (value == nullptr) {
            problem = option + " needs a value";
            return -1;
        }
        candidate.set(line, value);
        return 2;
    }
    for (const NumericOption& candidate : kNumericOptions) {
        if (option != candidate.name)
            continue;
        unsigned long long amount = 0;
        if (!cardsim::optionNumber(value, amount)) {
            problem = option + " needs a number";
            return -1;
        }
        if (amount > candidate.maximum) {
            problem = option + " takes 0 to " + std::to_string(candidate.maximum);
            return -1;
        }
        candidate.set(line, amount);
        return 2;
    }
    return 0;
}

// --help and --version print what they ask for; the program then ends.
bool printInformation(const std::string& option) {
    if (option == "--help" || option == "-h") {
        usage(stdout);
        return true;
    }
    if (option == "--version") {
        std::printf("kestrel-cardsim %s\n", Kestrel::kVersion);
        return true;
    }
    return false;
}

// Reads the command line into `line`; returns the exit code when the program ends at once.
std::optional<int> parseCommandLine(int argc, char** argv, CommandLine& line) {
    line.options.faults.piecePauseMs = kDefaultPiecePauseMs;
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
        if (printInformation(option))
            return 0;
        std::string problem;
        int used = takeSimulatorOption(option, value, line, problem);
        if (used == 0)
            used = cardsim::parseLoaderOption(option, value, line.loaderOptions, problem);
        if (used < 0) {
            std::fprintf(stderr, "kestrel-cardsim: %s\n", problem.c_str());
            return 2;
        }
        if (used == 0) {
            std::fprintf(stderr, "kestrel-cardsim: unknown option %s\n", option.c_str());
            usage(stderr);
            return 2;
        }
        index += used - 1;
    }
    return std::nullopt;
}

void printPorts(const cardsim::Presence& presence) {
    if (!presence.applicationPort.empty())
        std::printf("application port: /dev/%s\n", presence.applicationPort.c_str());
    if (!presence.diagnosticPort.empty())
        std::printf("diagnostic port: /dev/%s\n", presence.diagnosticPort.c_str());
    std::fflush(stdout);
}

// The simulated card, until a termination signal stops it.
int simulate(const cardsim::SimulatorOptions& options,
             const cardsim::LoaderOptions& loaderOptions) {
    cardsim::CardSimulator simulator(options);
    // Declared after the simulator, so destroyed first: run() has returned by then.
    cardsim::Loader loader(simulator, loaderOptions);
    simulator.setArrivalListener(printPorts);
    running = &simulator;
    std::signal(SIGINT, onTerminationSignal);
    std::signal(SIGTERM, onTerminationSignal);
    std::string problem;
    if (!simulator.run(&problem)) {
        std::fprintf(stderr, "kestrel-cardsim: %s\n", problem.c_str());
        return 1;
    }
    running = nullptr;
    std::printf("stopped\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CommandLine line;
    if (const std::optional<int> exitCode = parseCommandLine(argc, argv, line))
        return *exitCode;
    cardsim::SimulatorOptions& options = line.options;
    if (options.root.empty())
        options.root = platform::simulatedMachineRoot().value_or(std::string());
    if (options.root.empty()) {
        usage(stderr);
        return 2;
    }
    if (!line.replayFile.empty())
        return replay(line.replayFile, options);
    return simulate(options, line.loaderOptions);
}
