// A whole update through kestrel-headless against kestrel-cardsim at time scale 1, beside the
// floor that the fixed pauses and waits of the updater and the flashing library impose plus the
// simulator's own delays; and the CPU time the updater uses while it waits with no card.
//
// The stages are cut at the progress notifications the updater prints. Their floors:
//   check        two device reads: mode query, "ATI", "AT_VLMC?"; mode query, "AT_VISOV?"
//   to update    the one-second pause after a successful check
//   flashing     pre-flash in modem mode (mode query, mode change, the card's leave delay and
//                its time off the bus), pre-flash in loader mode (mode query), the flash (mode
//                change answered in place, CBC query, "ATE0", "AT%LOAD", the card's programming
//                messages, final code and reset delay) and the card's time off the bus after it
//   customise    mode query and three commands
//   final read   the two device reads again
// The block transfer itself is not in the floor, so the ratio can only err on the strict side.

#include "flasher/AtEngine.h"
#include "flasher/SerialPort.h"
#include "platform/Clock.h"
#include "sim/CardSimulator.h"
#include "sim/Loader.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// An exchange: read delay, the read that waits out its total time-out, and the close pause.
constexpr uint64_t kExchangeMs =
    flasher::kAtReadDelayMs + flasher::kReadTotalConstantMs + flasher::kCloseSettleMs;
constexpr uint64_t kModeReadMs = flasher::kModeQueryDelayMs + kExchangeMs;
// "ATE0" and "AT%LOAD" keep the port open for the download: no close pause.
constexpr uint64_t kOpenExchangeMs = flasher::kAtReadDelayMs + flasher::kReadTotalConstantMs;
constexpr uint64_t kDeviceReadMs = (kModeReadMs + 2 * kExchangeMs) + (kModeReadMs + kExchangeMs);
constexpr uint64_t kCheckExitPauseMs = 1000;
constexpr uint64_t kCustomisationMs = kModeReadMs + 3 * kExchangeMs;

uint64_t flashingFloorMs() {
    const cardsim::SimulatorOptions card;
    const cardsim::LoaderOptions loader;
    // The mode change's read ends when the card leaves; the close pause runs while it is away.
    const uint64_t preFlash =
        kModeReadMs + card.leaveDelayMs + card.modeChangeDelayMs + kModeReadMs;
    const uint64_t programming = loader.progressSteps.size() * loader.progressIntervalMs +
                                 loader.finalCodeDelayMs + loader.resetDelayMs;
    const uint64_t flash = 2 * kExchangeMs + 2 * kOpenExchangeMs + programming;
    return preFlash + flash + loader.comeBackDelayMs;
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

fs::path temporaryMachine() {
    char pattern[] = "/tmp/kestrel-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return {};
    const fs::path root = pattern;
    std::ofstream(root / "services.json") << "{\"CmxService\": \"running\"}\n";
    return root;
}

// A child process; its standard output on a pipe when asked.
struct Child {
    Child(const std::vector<std::string>& arguments, const std::string& root, bool captureOutput) {
        int ends[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (captureOutput && pipe(ends) == 0) {
            posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, ends[0]);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        }
        std::vector<std::string> variables{"KESTREL_SIM_ROOT=" + root, "KESTREL_TIME_SCALE=1"};
        for (char** variable = environ; *variable != nullptr; ++variable)
            variables.push_back(*variable);
        std::vector<char*> argv, envp;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (auto& variable : variables)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (ends[1] >= 0) {
            close(ends[1]);
            output = fdopen(ends[0], "r");
        }
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (output != nullptr)
            std::fclose(output);
    }
    bool readLine(std::string& line) {
        char buffer[256];
        if (output == nullptr || std::fgets(buffer, sizeof buffer, output) == nullptr)
            return false;
        line = buffer;
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        return true;
    }
    int wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // User and system CPU time in clock ticks, from /proc.
    long cpuTicks() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const size_t end = text.rfind(')');
        if (end == std::string::npos)
            return -1;
        std::istringstream fields(text.substr(end + 2));
        std::string field;
        long user = 0, system = 0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14)
                user = std::stol(field);
            if (index == 15) {
                system = std::stol(field);
                break;
            }
        }
        return user + system;
    }

    pid_t pid = -1;
    std::FILE* output = nullptr;
};

void BM_WholeUpdate(benchmark::State& state) {
    for (auto _ : state) {
        const fs::path root = temporaryMachine();
        std::ofstream(root / "card.json")
            << R"({"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00"})";
        Child card({KESTREL_CARDSIM_PATH, "--root", root.string(), "--state",
                    (root / "card.json").string()},
                   root.string(), false);
        const Clock::time_point start = Clock::now();
        Child updater({KESTREL_HEADLESS_PATH}, root.string(), true);
        std::map<std::string, Clock::time_point> first, last;
        std::string line, result;
        while (updater.readLine(line)) {
            const Clock::time_point now = Clock::now();
            first.emplace(line, now);
            last[line] = now;
            if (line.rfind("result ", 0) == 0)
                result = line.substr(7);
        }
        const Clock::time_point end = Clock::now();
        updater.wait();
        const double totalMs = msBetween(start, end);
        const struct {
            const char* name;
            Clock::time_point from, to;
            uint64_t floorMs;
        } stages[] = {
            {"start-up", start, first["progress 15 0"], 0},
            {"check", first["progress 15 0"], first["progress 16 0"], kDeviceReadMs},
            {"to update", first["progress 16 0"], first["progress 2 0"], kCheckExitPauseMs},
            {"flashing", first["progress 2 0"], first["progress 10 0"], flashingFloorMs()},
            {"customise", first["progress 10 0"], last["progress 15 0"], kCustomisationMs},
            {"final read", last["progress 15 0"], last["progress 16 0"], kDeviceReadMs},
            {"ending", last["progress 16 0"], end, 0},
        };
        uint64_t floorMs = 0;
        for (const auto& stage : stages) {
            floorMs += stage.floorMs;
            std::printf("  %-10s %8.1f ms  floor %6llu ms\n", stage.name,
                        msBetween(stage.from, stage.to),
                        static_cast<unsigned long long>(stage.floorMs));
        }
        const double ratio = totalMs / static_cast<double>(floorMs);
        std::printf("whole update: %.1f ms, floor %llu ms, ratio %.4f (result %s)\n", totalMs,
                    static_cast<unsigned long long>(floorMs), ratio, result.c_str());
        state.SetIterationTime(totalMs / 1000.0);
        state.counters["total_ms"] = totalMs;
        state.counters["floor_ms"] = static_cast<double>(floorMs);
        state.counters["ratio"] = ratio;
        if (result != "0")
            state.SkipWithError("the update did not succeed");
        std::error_code error;
        fs::remove_all(root, error);
    }
}
BENCHMARK(BM_WholeUpdate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

constexpr uint64_t kIdleMeasureMs = 20000;
constexpr uint64_t kIdleSettleMs = 2000;

void BM_IdleWithoutCard(benchmark::State& state) {
    for (auto _ : state) {
        const fs::path root = temporaryMachine();
        Child updater({KESTREL_HEADLESS_PATH}, root.string(), false);
        platform::sleepMs(kIdleSettleMs);
        const long before = updater.cpuTicks();
        const Clock::time_point start = Clock::now();
        platform::sleepMs(kIdleMeasureMs);
        const long after = updater.cpuTicks();
        const double wallMs = msBetween(start, Clock::now());
        const double cpuMs = static_cast<double>(after - before) * 1000.0 /
                             static_cast<double>(sysconf(_SC_CLK_TCK));
        const double percent = 100.0 * cpuMs / wallMs;
        std::printf("waiting without a card: %.0f ms CPU in %.0f ms, %.3f %% of one core\n", cpuMs,
                    wallMs, percent);
        state.SetIterationTime(wallMs / 1000.0);
        state.counters["cpu_percent"] = percent;
        if (before < 0 || after < 0)
            state.SkipWithError("cannot read the updater's CPU time");
        std::error_code error;
        fs::remove_all(root, error);
    }
}
BENCHMARK(BM_IdleWithoutCard)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (platform::timeScale() != 1.0)
        std::fprintf(stderr, "warning: KESTREL_TIME_SCALE is %g; the floors assume 1\n",
                     platform::timeScale());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
