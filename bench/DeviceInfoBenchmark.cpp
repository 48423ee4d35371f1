// FfGetInfoDevice kind 0 and kind 1 against the card simulator at time scale 1, beside the floor
// that the library's fixed pauses impose: every port-level operation costs one read delay, one
// read timeout (an answer shorter than the buffer is collected until the timeout) and the close
// pause; the mode query adds its own delay.

#include "bench/BenchmarkMain.h"
#include "flasher/AtEngine.h"
#include "flasher/Ff.h"
#include "flasher/SerialPort.h"
#include "platform/Clock.h"
#include "sim/CardSimulator.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr uint64_t kExchangeFloorMs =
    flasher::kAtReadDelayMs + flasher::kReadTotalConstantMs + flasher::kCloseSettleMs;
constexpr uint64_t kModeFloorMs = flasher::kModeQueryDelayMs + kExchangeFloorMs;
// Mode, "ATI", "AT_VLMC?".
constexpr uint64_t kFirmwareFloorMs = kModeFloorMs + 2 * kExchangeFloorMs;
// Mode, "AT_VISOV?".
constexpr uint64_t kSoftwareFloorMs = kModeFloorMs + kExchangeFloorMs;

struct Card {
    std::string root;
    std::unique_ptr<cardsim::CardSimulator> simulator;
    std::wstring app;
    std::wstring diag;

    Card() {
        root = (std::filesystem::temp_directory_path() /
                ("kestrel-bench-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count())))
                   .string();
        cardsim::SimulatorOptions options;
        options.root = root;
        options.name = "bench";
        simulator = std::make_unique<cardsim::CardSimulator>(options);
        std::string problem;
        if (!simulator->start(&problem)) {
            std::fprintf(stderr, "card simulator: %s\n", problem.c_str());
            std::exit(1);
        }
        const cardsim::Presence presence = simulator->presence();
        app = L"\\\\.\\" +
              std::wstring(presence.applicationPort.begin(), presence.applicationPort.end());
        diag = L"\\\\.\\" +
               std::wstring(presence.diagnosticPort.begin(), presence.diagnosticPort.end());
    }
    ~Card() {
        simulator.reset();
        std::error_code error;
        std::filesystem::remove_all(root, error);
    }
};

Card& card() {
    static Card shared;
    return shared;
}

void measure(benchmark::State& state, int32_t kind, uint64_t floorMs) {
    Card& simulated = card();
    FfInitialise(0, nullptr, 0);
    double totalMs = 0;
    for (auto _ : state) {
        FfInfoRecord record{};
        int32_t notNormal = 0;
        const auto start = std::chrono::steady_clock::now();
        const FfResult result = FfGetInfoDevice(L"QT0880", kind, simulated.diag.c_str(),
                                                simulated.app.c_str(), &record, &notNormal);
        const auto end = std::chrono::steady_clock::now();
        if (result != kFfOk) {
            state.SkipWithError("FfGetInfoDevice failed");
            return;
        }
        const double ms = std::chrono::duration<double, std::milli>(end - start).count();
        totalMs += ms;
        state.SetIterationTime(ms / 1000.0);
    }
    const double meanMs = totalMs / static_cast<double>(state.iterations());
    state.counters["measured_ms"] = meanMs;
    state.counters["floor_ms"] = static_cast<double>(floorMs);
    state.counters["ratio"] = meanMs / static_cast<double>(floorMs);
    std::printf("FfGetInfoDevice kind %d: measured %.1f ms, floor %llu ms, ratio %.4f\n", kind,
                meanMs, static_cast<unsigned long long>(floorMs),
                meanMs / static_cast<double>(floorMs));
}

void FirmwareInformation(benchmark::State& state) {
    measure(state, kFfInfoFirmware, kFirmwareFloorMs);
}
void SoftwareInformation(benchmark::State& state) {
    measure(state, kFfInfoSoftware, kSoftwareFloorMs);
}

BENCHMARK(FirmwareInformation)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SoftwareInformation)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

const char* const bench::kFloorsAssumeScaleOne = "the floor assumes 1";
