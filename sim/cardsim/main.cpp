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

bool number(const char* text, unsigned long long& value) {
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *end == '\0';
}

std::string upperCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

int main(int argc, char** argv) {
    cardsim::SimulatorOptions options;
    cardsim::LoaderOptions loaderOptions;
    std::string replayFile;
    options.faults.piecePauseMs = 100;
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
        unsigned long long amount = 0;
        auto needsValue = [&](bool numeric) {
            if (value == nullptr || (numeric && !number(value, amount))) {
                std::fprintf(stderr, "kestrel-cardsim: %s needs %s\n", option.c_str(),
                             numeric ? "a number" : "a value");
                std::exit(2);
            }
            ++index;
        };
        if (option == "--root") {
            needsValue(false);
            options.root = value;
        } else if (option == "--com-links") {
            needsValue(false);
            options.comLinkFolder = value;
        } else if (option == "--name") {
            needsValue(false);
            options.name = value;
        } else if (option == "--profile") {
            needsValue(false);
            options.profile = value;
        } else if (option == "--state") {
            needsValue(false);
            options.stateFile = value;
        } else if (option == "--mode-delay") {
            needsValue(true);
            options.modeChangeDelayMs = amount;
        } else if (option == "--leave-delay") {
            needsValue(true);
            options.leaveDelayMs = amount;
        } else if (option == "--node-delay") {
            needsValue(true);
            options.nodeDelayMs = static_cast<int64_t>(amount);
        } else if (option == "--silent") {
            options.faults.silent = true;
        } else if (option == "--error-on") {
            needsValue(false);
            options.faults.errorCommands.insert(upperCase(value));
        } else if (option == "--no-mode-answer") {
            options.faults.noModeAnswer = true;
        } else if (option == "--start-mode") {
            needsValue(true);
            if (amount > 4) {
                std::fprintf(stderr, "kestrel-cardsim: --start-mode takes 0 to 4\n");
                return 2;
            }
            options.startMode = static_cast<int>(amount);
        } else if (option == "--lm-code") {
            needsValue(false);
            options.faults.lmCode = value;
        } else if (option == "--wrong-lm-code") {
            options.faults.lmCode = "QT0880-00000";
        } else if (option == "--split") {
            needsValue(true);
            options.faults.pieceSize = static_cast<size_t>(amount);
        } else if (option == "--piece-pause") {
            needsValue(true);
            options.faults.piecePauseMs = amount;
        } else if (option == "--replay") {
            needsValue(false);
            replayFile = value;
        } else if (option == "--help" || option == "-h") {
            usage(stdout);
            return 0;
        } else if (option == "--version") {
            std::printf("kestrel-cardsim %s\n", Kestrel::kVersion);
            return 0;
        } else if (std::string problem; const int used = cardsim::parseLoaderOption(
                                            option, value, loaderOptions, problem)) {
            if (used < 0) {
                std::fprintf(stderr, "kestrel-cardsim: %s\n", problem.c_str());
                return 2;
            }
            index += used - 1;
        } else {
            std::fprintf(stderr, "kestrel-cardsim: unknown option %s\n", option.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (options.root.empty())
        options.root = platform::simulatedMachineRoot().value_or(std::string());
    if (options.root.empty()) {
        usage(stderr);
        return 2;
    }
    if (!replayFile.empty())
        return replay(replayFile, options);

    cardsim::CardSimulator simulator(options);
    // Declared after the simulator, so destroyed first: run() has returned by then.
    cardsim::Loader loader(simulator, loaderOptions);
    simulator.setArrivalListener([](const cardsim::Presence& presence) {
        if (!presence.applicationPort.empty())
            std::printf("application port: /dev/%s\n", presence.applicationPort.c_str());
        if (!presence.diagnosticPort.empty())
            std::printf("diagnostic port: /dev/%s\n", presence.diagnosticPort.c_str());
        std::fflush(stdout);
    });
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
