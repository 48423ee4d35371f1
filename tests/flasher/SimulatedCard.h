#pragma once

// A simulated card on a temporary simulated machine, for the flashing-library tests, and a log
// sink that keeps what the library says.

#include "flasher/Ff.h"
#include "platform/Clock.h"
#include "sim/CardSimulator.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace testing_support {

constexpr double kTestScale = 0.05;

inline std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

inline std::vector<std::wstring>& logLines() {
    static std::vector<std::wstring> lines;
    return lines;
}

inline void keepLogLine(const wchar_t* text) {
    std::lock_guard<std::mutex> guard(logMutex());
    logLines().push_back(text);
}

inline std::vector<std::wstring> loggedLines() {
    std::lock_guard<std::mutex> guard(logMutex());
    return logLines();
}

inline void clearLog() {
    std::lock_guard<std::mutex> guard(logMutex());
    logLines().clear();
}

// Lines that contain `part`.
inline size_t countLogged(const std::wstring& part) {
    const auto lines = loggedLines();
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::wstring& line) {
            return line.find(part) != std::wstring::npos;
        }));
}

inline std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

inline std::wstring portPath(const std::string& name) {
    return name.empty() ? std::wstring() : L"\\\\.\\" + wide(name);
}

inline std::string temporaryFolder() {
    std::random_device random;
    const auto path = std::filesystem::temp_directory_path() /
                      ("kestrel-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path);
    return path.string();
}

class SimulatedCard : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{kTestScale};
    void SetUp() override {
        root = temporaryFolder();
        FfInitialise(4, keepLogLine, 0);
        clearLog();
    }

    void TearDown() override {
        card.reset();
        FfShutdown();
        FfInitialise(0, nullptr, 0);
        std::error_code error;
        std::filesystem::remove_all(root, error);
    }

    cardsim::SimulatorOptions options() const {
        cardsim::SimulatorOptions options;
        options.root = root;
        options.modeChangeDelayMs = 1000;
        return options;
    }

    void startCard(const cardsim::SimulatorOptions& options) {
        card = std::make_unique<cardsim::CardSimulator>(options);
        for (auto& handler : handlers)
            card->addCommandHandler(handler);
        std::string problem;
        ASSERT_TRUE(card->start(&problem)) << problem;
        refreshPaths();
    }
    void startCard() { startCard(options()); }

    void refreshPaths() {
        const cardsim::Presence presence = card->presence();
        app = portPath(presence.applicationPort);
        diag = portPath(presence.diagnosticPort);
    }

    // Waits for the card to come back after a mode change and takes its new ports.
    bool awaitReturn(int generation) {
        cardsim::Presence seen;
        if (!card->waitForArrival(generation, 20000, &seen))
            return false;
        refreshPaths();
        return true;
    }

    std::string root;
    std::unique_ptr<cardsim::CardSimulator> card;
    std::vector<cardsim::CommandHandler> handlers;
    std::wstring app;
    std::wstring diag;
};

} // namespace testing_support
