#include "UpdateMachine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace udeve2e {
namespace {

constexpr uint64_t kSlowLinkBytesPerSecond = 200000;
constexpr auto kInhibitorPoll = std::chrono::milliseconds(20);

bool kestrelInhibits(const std::string& inhibitors) {
    return inhibitors.find("'sleep:shutdown', 'Kestrel', \"Updating the card's firmware\", "
                           "'block'") != std::string::npos;
}

// logind (python3-dbusmock's template) on the private system bus of the Linux backends.
class LogindEndToEnd : public UpdateMachine {};

TEST_P(LogindEndToEnd, UpdateHoldsABlockInhibitorWhileFlashingAndLogindHasNoneAfter) {
    ASSERT_TRUE(bus->startLogind());
    cardsim::LoaderOptions options;
    options.bytesPerSecond = kSlowLinkBytesPerSecond;
    startCard(e2e::kOlderCard, options);
    std::atomic<bool> running{true};
    std::atomic<bool> seen{false};
    std::thread watcher([&] {
        while (running && !seen) {
            seen = kestrelInhibits(bustest::SystemBus::logindInhibitors());
            std::this_thread::sleep_for(kInhibitorPoll);
        }
    });
    const e2e::RunResult run = kestrel();
    running = false;
    watcher.join();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_TRUE(seen) << "no inhibitor while the card was flashed\n" << log();
    EXPECT_FALSE(kestrelInhibits(bustest::SystemBus::logindInhibitors()));
    EXPECT_NE(log().find("Sleep and shutdown inhibited while the card is flashed"),
              std::string::npos);
}

TEST_P(LogindEndToEnd, WithoutLogindTheUpdateRunsAndSaysThereIsNothingToTake) {
    startCard(e2e::kOlderCard);
    const e2e::RunResult run = kestrel();
    ASSERT_FALSE(run.timedOut) << log();
    EXPECT_EQ(run.exitStatus, 0) << log();
    EXPECT_NE(log().find("No logind to inhibit sleep and shutdown: nothing to take"),
              std::string::npos)
        << log();
}

INSTANTIATE_TEST_SUITE_P(Backends, LogindEndToEnd, ::testing::Values(Backend::udev),
                         [](const ::testing::TestParamInfo<Backend>&) { return "udev"; });

} // namespace
} // namespace udeve2e
