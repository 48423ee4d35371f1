#include "platform/Clock.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

TEST(TimeScaleParsing, AcceptsPositiveNumbersAndRejectsTheRest) {
    double scale = 0;
    std::string problem;
    EXPECT_TRUE(platform::parseTimeScale("0.01", scale, problem));
    EXPECT_DOUBLE_EQ(scale, 0.01);
    EXPECT_TRUE(platform::parseTimeScale("2", scale, problem));
    EXPECT_DOUBLE_EQ(scale, 2.0);

    for (const char* bad : {"", "abc", "0", "-1", "1x", "inf", "nan", "1e999", "1e-400", "0,5"}) {
        scale = 7;
        EXPECT_FALSE(platform::parseTimeScale(bad, scale, problem)) << bad;
        EXPECT_FALSE(problem.empty()) << bad;
        EXPECT_DOUBLE_EQ(scale, 7) << "a rejected value must not change the scale: " << bad;
    }
}

TEST(TimeScaleParsing, DecimalPointDoesNotDependOnTheLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    const char* comma = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            comma = name;
            break;
        }
    }
    if (comma == nullptr)
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    double scale = 0;
    std::string problem;
    const bool accepted = platform::parseTimeScale("0.25", scale, problem);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_TRUE(accepted) << comma << ": " << problem;
    EXPECT_DOUBLE_EQ(scale, 0.25);
}

class ScaledClock : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{0.01};
};

TEST_F(ScaledClock, SleepLastsTheScaledRealTime) {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t logicalStart = platform::tickMs();
    platform::sleepMs(1000);
    const auto realMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(realMs, 10.0);
    EXPECT_LT(realMs, 500.0);
    EXPECT_GE(platform::tickMs() - logicalStart, 1000u);
}

TEST_F(ScaledClock, WaitTimesOutAfterScaledDurationAndWakesOnSignal) {
    std::mutex mutex;
    std::condition_variable condition;
    bool ready = false;

    std::unique_lock<std::mutex> lock(mutex);
    const uint64_t before = platform::tickMs();
    EXPECT_FALSE(platform::waitFor(condition, lock, 2000, [&] { return ready; }));
    EXPECT_GE(platform::tickMs() - before, 2000u);

    std::thread signaller([&] {
        std::lock_guard<std::mutex> guard(mutex);
        ready = true;
        condition.notify_all();
    });
    EXPECT_TRUE(platform::waitFor(condition, lock, platform::kInfiniteMs, [&] { return ready; }));
    lock.unlock();
    signaller.join();
}

TEST(Clock, TickNeverGoesBackWhenTheScaleChanges) {
    const uint64_t first = platform::tickMs();
    platform::overrideTimeScale(0.001);
    const uint64_t second = platform::tickMs();
    platform::overrideTimeScale(1.0);
    EXPECT_LE(first, second);
    EXPECT_LE(second, platform::tickMs());
}

} // namespace

namespace {

// The factor is read once per process, so these run in a fresh child process each.
class TimeScaleFromEnvironment : public ::testing::Test {
protected:
    void SetUp() override { ::testing::FLAGS_gtest_death_test_style = "threadsafe"; }
    void TearDown() override { unsetenv("KESTREL_TIME_SCALE"); }
};

TEST_F(TimeScaleFromEnvironment, BadValueIsReportedAndReplacedByOne) {
    setenv("KESTREL_TIME_SCALE", "fast", 1);
    EXPECT_EXIT(std::exit(platform::timeScale() == 1.0 ? 0 : 1), ::testing::ExitedWithCode(0),
                "KESTREL_TIME_SCALE='fast' rejected \\(not a number\\); using 1");
}

TEST_F(TimeScaleFromEnvironment, TinyScaleKeepsTheTickWithinRange) {
    setenv("KESTREL_TIME_SCALE", "1e-300", 1);
    EXPECT_EXIT(
        {
            const uint64_t first = platform::tickMs();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const uint64_t second = platform::tickMs();
            std::exit(first <= second && second == UINT64_MAX ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TimeScaleFromEnvironment, GoodValueIsTaken) {
    setenv("KESTREL_TIME_SCALE", "0.25", 1);
    EXPECT_EXIT(std::exit(platform::timeScale() == 0.25 ? 0 : 1), ::testing::ExitedWithCode(0),
                "^$");
}

} // namespace
