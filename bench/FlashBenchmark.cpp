// Flashing the embedded package into the card simulator at time scale 1.
//
// Transfer: the block transfer of the image (from notification 7 to notification 12) beside the
// floor of a plain pseudo-terminal copy of the same bytes.
// Update: FfPreFlash (modem to loader), FfPreFlash again, FfFlash and FfPostFlash with the
// application's default script, the time spent inside the calls beside the sum of the pauses the
// library fixes (read delays, read timeouts, close pauses, the mode query delay and the one
// programming read). The waits for the card to re-enumerate between the calls are the card's
// and are not counted.

#include "bench/BenchmarkMain.h"
#include "flasher/AtEngine.h"
#include "flasher/Ff.h"
#include "flasher/SerialPort.h"
#include "platform/Clock.h"
#include "platform/PseudoTerminal.h"
#include "sim/CardSimulator.h"
#include "sim/Loader.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kImageOffset = 17 + 12 + 107 + 12 + 644;
constexpr size_t kImageSize = 3471536;
constexpr size_t kCopyChunk = 65280;

constexpr uint64_t kExchangeMs = flasher::kAtReadDelayMs + flasher::kReadTotalConstantMs;
constexpr uint64_t kCloseMs = flasher::kCloseSettleMs;
constexpr uint64_t kModeReadMs = flasher::kModeQueryDelayMs + kExchangeMs + kCloseMs;
// The card answers a mode change and leaves the bus this long after: the read of the answer
// ends there instead of at its timeout.
constexpr uint64_t kCardLeaveDelayMs = 200;
constexpr uint64_t kModeChangeMs = flasher::kAtReadDelayMs + kCardLeaveDelayMs + kCloseMs;
// "AT%PROG=2": one read delay and one programming read that collects the whole programming.
constexpr uint64_t kProgrammingMs =
    flasher::kAtReadDelayMs + flasher::kAtProgrammingReadTimeoutSeconds * 1000;
// FfPreFlash from modem mode: mode query, mode change. Again in loader mode: mode query.
constexpr uint64_t kPreFlashFloorMs = kModeReadMs + kModeChangeMs + kModeReadMs;
// FfFlash: mode change (already there, answered without leaving) and CBC query; echo off and
// "AT%LOAD", programming and close; the final mode query.
constexpr uint64_t kFlashFloorMs =
    2 * (kExchangeMs + kCloseMs) + 2 * kExchangeMs + kProgrammingMs + kCloseMs + kModeReadMs;
// FfPostFlash with the default script: mode query and three commands.
constexpr uint64_t kPostFlashFloorMs = kModeReadMs + 3 * (kExchangeMs + kCloseMs);
constexpr uint64_t kUpdateFloorMs = kPreFlashFloorMs + kFlashFloorMs + kPostFlashFloorMs;

const char kDefaultScript[] =
    "<post_customization><mode>modem</mode><at_cmd>at+cfun=0</at_cmd><at_cmd>at+cfun=4</at_cmd>"
    "<at_cmd>at_vhspacat=10,6</at_cmd></post_customization>\r\n";

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const std::vector<uint8_t>& package() {
    static const std::vector<uint8_t> bytes = [] {
        std::ifstream in(KESTREL_EMBEDDED_PACKAGE_PATH, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
    }();
    return bytes;
}

std::wstring portPath(const std::string& name) {
    return L"\\\\.\\" + std::wstring(name.begin(), name.end());
}

// The image's bytes written through a pseudo-terminal, in frame-sized writes, and read on the
// other side: what any transfer of them costs at least.
double plainCopyMs(const uint8_t* image, size_t size) {
    platform::PseudoTerminal terminal;
    if (!terminal.open())
        return -1;
    flasher::PortHandle handle = nullptr;
    if (flasher::openPortByPath(portPath(terminal.portName()).c_str(), handle) != 0)
        return -1;
    std::atomic<size_t> received{0};
    std::thread reader([&] {
        std::vector<uint8_t> buffer(65536);
        std::vector<platform::PseudoTerminal*> terminals{&terminal};
        while (received < size) {
            if (platform::waitForInput(terminals, 5000, nullptr) != 0)
                break;
            const long got = terminal.readAvailable(buffer.data(), buffer.size());
            if (got < 0)
                break;
            received += static_cast<size_t>(got);
        }
    });
    const Clock::time_point start = Clock::now();
    for (size_t offset = 0; offset < size; offset += kCopyChunk) {
        const uint32_t count = static_cast<uint32_t>(std::min(kCopyChunk, size - offset));
        uint32_t written = 0;
        flasher::WriteRaw(handle, image + offset, count, &written);
    }
    reader.join();
    const double ms = msSince(start);
    flasher::ClosePort(handle);
    return received == size ? ms : -1;
}

struct Timeline {
    Clock::time_point transferStart;
    Clock::time_point transferEnd;
    int blocks = 0;
    static void callback(int32_t code, int32_t, void* context) {
        auto* self = static_cast<Timeline*>(context);
        if (code == kFfProgressImageStart)
            self->transferStart = Clock::now();
        else if (code == kFfProgressImageEnd)
            self->transferEnd = Clock::now();
        else if (code == kFfProgressPhaseAdvance && self->transferEnd < self->transferStart)
            ++self->blocks;
    }
};

class SimulatedMachine {
public:
    SimulatedMachine() {
        root_ = (std::filesystem::temp_directory_path() /
                 ("kestrel-flash-bench-" + std::to_string(Clock::now().time_since_epoch().count())))
                    .string();
        cardsim::SimulatorOptions options;
        options.root = root_;
        options.name = "flashbench";
        options.modeChangeDelayMs = 500;
        options.leaveDelayMs = kCardLeaveDelayMs;
        options.startMode = 0;
        cardsim::LoaderOptions loaderOptions;
        loaderOptions.comeBackDelayMs = 500;
        // The card stays on the bus until the library's programming read and final mode query
        // are over, as a card that takes its time to reboot does.
        loaderOptions.resetDelayMs = 14000;
        card_ = std::make_unique<cardsim::CardSimulator>(options);
        loader_ = std::make_unique<cardsim::Loader>(*card_, loaderOptions);
        std::string problem;
        if (!card_->start(&problem)) {
            std::fprintf(stderr, "card simulator: %s\n", problem.c_str());
            std::exit(1);
        }
    }
    ~SimulatedMachine() {
        card_->stop();
        loader_.reset();
        card_.reset();
        std::error_code error;
        std::filesystem::remove_all(root_, error);
    }
    cardsim::CardSimulator& card() { return *card_; }
    std::wstring app() const { return portPath(card_->presence().applicationPort); }
    std::wstring diag() const { return portPath(card_->presence().diagnosticPort); }
    // Waits for the card to leave and come back (the application's wait for re-enumeration).
    bool reenumerated(int generation) { return card_->waitForArrival(generation, 60000); }

private:
    std::string root_;
    std::unique_ptr<cardsim::CardSimulator> card_;
    std::unique_ptr<cardsim::Loader> loader_;
};

// The updater's library calls on a fresh card, timed without the waits for re-enumeration
// between them. Returns why the update stopped, or nullptr when it went through.
const char* updateCard(SimulatedMachine& machine, Timeline& timeline, double& insideMs) {
    const std::vector<uint8_t>& pck = package();
    auto timed = [&insideMs](auto call) {
        const Clock::time_point start = Clock::now();
        const FfResult result = call();
        insideMs += msSince(start);
        return result;
    };
    auto preFlash = [&] {
        return FfPreFlash(L"QT0880", machine.diag().c_str(), machine.app().c_str(),
                          &Timeline::callback, &timeline);
    };
    int generation = machine.card().presence().generation;
    if (timed(preFlash) != kFfModeChanging || !machine.reenumerated(generation))
        return "FfPreFlash did not switch the card";
    generation = machine.card().presence().generation;
    if (timed(preFlash) != kFfOk)
        return "FfPreFlash in loader mode failed";
    const FfResult flashed = timed([&] {
        return FfFlash(L"QT0880", machine.diag().c_str(), machine.app().c_str(), true, false,
                       pck.data(), static_cast<uint32_t>(pck.size()), &Timeline::callback,
                       &timeline);
    });
    if (flashed != kFfOk || !machine.reenumerated(generation))
        return "FfFlash failed";
    const FfResult posted = timed([&] {
        return FfPostFlash(L"QT0880", machine.diag().c_str(), machine.app().c_str(), kDefaultScript,
                           sizeof kDefaultScript - 1, nullptr, nullptr);
    });
    if (posted != kFfOk)
        return "FfPostFlash failed";
    return nullptr;
}

void reportUpdate(benchmark::State& state, const Timeline& timeline, double insideMs,
                  double copyMs) {
    state.SetIterationTime(insideMs / 1000.0);
    const double transferMs =
        std::chrono::duration<double, std::milli>(timeline.transferEnd - timeline.transferStart)
            .count();
    const double mbPerSecond = kImageSize / 1e6 / (transferMs / 1000.0);
    state.counters["transfer_ms"] = transferMs;
    state.counters["copy_floor_ms"] = copyMs;
    state.counters["update_ms"] = insideMs;
    state.counters["pause_floor_ms"] = static_cast<double>(kUpdateFloorMs);
    std::printf("transfer: %d blocks, %zu bytes in %.1f ms (%.2f MB/s); plain pseudo-terminal "
                "copy %.1f ms; ratio %.2f\n",
                timeline.blocks, kImageSize, transferMs, mbPerSecond, copyMs, transferMs / copyMs);
    std::printf("update: FfPreFlash x2 + FfFlash + FfPostFlash %.1f ms; fixed pauses %llu ms; "
                "ratio %.4f (pauses + transfer: ratio %.4f)\n",
                insideMs, static_cast<unsigned long long>(kUpdateFloorMs),
                insideMs / static_cast<double>(kUpdateFloorMs),
                insideMs / (static_cast<double>(kUpdateFloorMs) + transferMs));
}

void FlashUpdate(benchmark::State& state) {
    const std::vector<uint8_t>& pck = package();
    if (pck.size() != kImageOffset + kImageSize) {
        state.SkipWithError("embedded package missing");
        return;
    }
    const double copyMs = plainCopyMs(pck.data() + kImageOffset, kImageSize);
    FfInitialise(0, nullptr, 0);
    for (auto _ : state) {
        SimulatedMachine machine;
        Timeline timeline;
        double insideMs = 0;
        if (const char* failure = updateCard(machine, timeline, insideMs)) {
            state.SkipWithError(failure);
            return;
        }
        reportUpdate(state, timeline, insideMs, copyMs);
    }
}

BENCHMARK(FlashUpdate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

const char* const bench::kFloorsAssumeScaleOne = "the floors assume 1";
