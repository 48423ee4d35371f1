// A whole update through kestrel-headless against kestrel-cardsim at time scale 1, beside the
// floor that the fixed pauses and waits of the updater and the flashing library impose plus the
// simulator's own delays (UpdateFloor.h); and the CPU time the updater uses while it waits with
// no card.

#include "UpdateFloor.h"

#include "bench/BenchmarkMain.h"
#include "platform/Clock.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SimulatedMachine.h"

#include <benchmark/benchmark.h>

#include <signal.h>
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

namespace {

namespace fs = std::filesystem;
using Clock = bench::Clock;

fs::path temporaryMachine() {
    return testsupport::makeSimulatedMachine("/tmp/kestrel-bench-XXXXXX");
}

// A child process; its standard output on a pipe when asked.
struct Child {
    Child(const std::vector<std::string>& arguments, const std::string& root, bool captureOutput) {
        int ends[2] = {-1, -1};
        testsupport::ChildSetup setup;
        setup.environment =
            testsupport::environmentWith({"KESTREL_SIM_ROOT=" + root, "KESTREL_TIME_SCALE=1"});
        if (captureOutput && pipe(ends) == 0) {
            setup.outputDescriptor = ends[1];
            setup.closeInChild = ends[0];
        } else {
            setup.outputFile = "/dev/null";
        }
        pid = testsupport::startChild(arguments, setup);
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
        bench::UpdateTimeline timeline;
        timeline.start = start;
        std::string line;
        while (updater.readLine(line))
            timeline.see(line, Clock::now());
        timeline.end = Clock::now();
        updater.wait();
        const double ratio = bench::reportWholeUpdate(timeline, 0);
        const double totalMs = bench::msBetween(timeline.start, timeline.end);
        state.SetIterationTime(totalMs / 1000.0);
        state.counters["total_ms"] = totalMs;
        state.counters["floor_ms"] = static_cast<double>(bench::wholeUpdateFloorMs());
        state.counters["ratio"] = ratio;
        const std::string result = timeline.result;
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
        const double wallMs = bench::msBetween(start, Clock::now());
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

const char* const bench::kFloorsAssumeScaleOne = "the floors assume 1";
