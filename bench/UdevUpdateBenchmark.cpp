// A whole update through kestrel-headless on its Linux backends at time scale 1: an emulated
// udev (run this program under umockdev-wrapper) with the card simulator behind its ttys,
// systemd and ModemManager as mocks on a private system bus. Beside the floor of the same
// update on the simulated machine (UpdateFloor.h), to which the time the emulated bus takes to
// send its paced events is added. And the block transfer with the card's link limited to USB
// full speed, its throughput beside the link's.

#include "UpdateFloor.h"

#include "bench/BenchmarkMain.h"
#include "platform/Clock.h"
#include "sim/CardSimulator.h"
#include "sim/Loader.h"
#include "tests/support/EndToEndSupport.h"
#include "tests/support/SystemBusMocks.h"
#include "tests/support/UdevTestbed.h"
#include "tests/support/PrivateSystemFolders.h"
#include "tests/support/TreeCardBus.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bench::Clock;

constexpr auto kEventPause = std::chrono::milliseconds(10);
// USB full speed: 12 Mbit/s.
constexpr uint64_t kFullSpeedBytesPerSecond = 12000000 / 8;
constexpr uint32_t kPhaseStepsMask = 0xFFFF;
constexpr const char* kOlderCard =
    R"({"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00"})";

// The Linux machine of one update: emulated udev, mocked system bus, the card on the bus.
class LinuxMachine {
public:
    explicit LinuxMachine(const cardsim::LoaderOptions& loaderOptions) : cardBus_(testbed_) {
        char pattern[] = "/tmp/kestrel-bench-udev-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        root_ = pattern;
        udeve2e::createPrivateSystemFolders(root_);
        fs::create_directories(root_ / "objects");
        testbed_.load("root-hub");
        testbed_.setPacing([] { std::this_thread::sleep_for(kEventPause); });
        bus_ = std::make_unique<bustest::SystemBus>(root_.string());
        ready_ = bus_->startSystemd({{"units", {{"CmxService.service", "active"}}}}) &&
                 bus_->startModemManager(
                     {{"uid", "card-uid"}, {"physdev", udeve2e::TreeCardBus::kSysfsPath}});
        e2e::writeFile(root_ / "card.json", kOlderCard);
        cardsim::SimulatorOptions options;
        options.bus = &cardBus_;
        options.stateFile = (root_ / "card.json").string();
        card_ = std::make_unique<cardsim::CardSimulator>(options);
        loader_ = std::make_unique<cardsim::Loader>(*card_, loaderOptions);
        std::string problem;
        ready_ = ready_ && card_->start(&problem);
        if (!problem.empty())
            std::fprintf(stderr, "card: %s\n", problem.c_str());
    }
    ~LinuxMachine() {
        if (card_)
            card_->stop();
        loader_.reset();
        card_.reset();
        bus_.reset();
        std::error_code error;
        fs::remove_all(root_, error);
    }
    LinuxMachine(const LinuxMachine&) = delete;
    LinuxMachine& operator=(const LinuxMachine&) = delete;

    bool ready() const { return ready_; }

    // Runs kestrel-headless to its end; its timeline and the bus's announcing time meanwhile.
    bench::UpdateTimeline update(double& announcingMs) {
        const auto announcedBefore = cardBus_.announcing();
        bench::UpdateTimeline timeline;
        timeline.start = Clock::now();
        e2e::Child updater(udeve2e::withPrivateSystemFolders(root_, KESTREL_HEADLESS_PATH, {}),
                           {"KESTREL_TIME_SCALE=1", "KESTREL_SIM_ROOT=",
                            "KESTREL_OBJECT_NAMESPACE=" + (root_ / "objects").string()});
        std::string line;
        while (updater.readLine(line))
            timeline.see(line, Clock::now());
        timeline.end = Clock::now();
        updater.wait();
        announcingMs =
            std::chrono::duration<double, std::milli>(cardBus_.announcing() - announcedBefore)
                .count();
        return timeline;
    }

    cardsim::LoaderRecord loaderRecord() const { return loader_->record(); }

private:
    fs::path root_;
    udevtest::UdevTestbed testbed_;
    std::unique_ptr<bustest::SystemBus> bus_;
    udeve2e::TreeCardBus cardBus_;
    std::unique_ptr<cardsim::CardSimulator> card_;
    std::unique_ptr<cardsim::Loader> loader_;
    bool ready_ = false;
};

void BM_WholeUpdateOnUdev(benchmark::State& state) {
    for (auto _ : state) {
        // A named object: GCC 12's Release build takes the strings of a temporary for
        // uninitialised.
        const cardsim::LoaderOptions defaults;
        LinuxMachine machine{defaults};
        if (!machine.ready()) {
            state.SkipWithError("the machine did not come up");
            break;
        }
        double announcingMs = 0;
        bench::UpdateTimeline timeline = machine.update(announcingMs);
        const double ratio = bench::reportWholeUpdate(timeline, announcingMs);
        const double totalMs = bench::msBetween(timeline.start, timeline.end);
        state.SetIterationTime(totalMs / 1000.0);
        state.counters["total_ms"] = totalMs;
        state.counters["bus_ms"] = announcingMs;
        state.counters["ratio"] = ratio;
        if (timeline.result != "0")
            state.SkipWithError("the update did not succeed");
    }
}
BENCHMARK(BM_WholeUpdateOnUdev)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The transfer phase begins with "progress 13 V" (V: share << 16 | blocks) and each block
// ends with "progress 14 1"; its bytes are those the loader accepted.
void BM_BlockTransferAtFullSpeed(benchmark::State& state) {
    for (auto _ : state) {
        cardsim::LoaderOptions options;
        options.bytesPerSecond = kFullSpeedBytesPerSecond;
        LinuxMachine machine{options};
        if (!machine.ready()) {
            state.SkipWithError("the machine did not come up");
            break;
        }
        double announcingMs = 0;
        bench::UpdateTimeline timeline = machine.update(announcingMs);
        const cardsim::LoaderRecord record = machine.loaderRecord();
        const uint64_t bytes =
            std::accumulate(record.blockSizes.begin(), record.blockSizes.end(), uint64_t{0});
        Clock::time_point phaseBegin{};
        for (const auto& [line, when] : timeline.first) {
            const std::string prefix = "progress 13 ";
            if (line.rfind(prefix, 0) != 0)
                continue;
            const uint32_t value = static_cast<uint32_t>(std::stoul(line.substr(prefix.size())));
            if ((value & kPhaseStepsMask) == record.blockSizes.size())
                phaseBegin = when;
        }
        const double seconds =
            bench::msBetween(phaseBegin, timeline.last["progress 14 1"]) / 1000.0;
        const double throughput = static_cast<double>(bytes) / seconds;
        const double ratio = throughput / static_cast<double>(kFullSpeedBytesPerSecond);
        std::printf("block transfer: %llu bytes in %zu blocks, %.3f s, %.0f bytes/s, link %llu "
                    "bytes/s, ratio %.4f (result %s)\n",
                    static_cast<unsigned long long>(bytes), record.blockSizes.size(), seconds,
                    throughput, static_cast<unsigned long long>(kFullSpeedBytesPerSecond), ratio,
                    timeline.result.c_str());
        state.SetIterationTime(seconds);
        state.counters["bytes_per_second"] = throughput;
        state.counters["ratio"] = ratio;
        if (timeline.result != "0" || phaseBegin == Clock::time_point{})
            state.SkipWithError("the update did not succeed");
    }
}
BENCHMARK(BM_BlockTransferAtFullSpeed)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

const char* const bench::kFloorsAssumeScaleOne = "the floors assume 1";
