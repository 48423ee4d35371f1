#pragma once

// A simulated card with its loader, and a recorder of the flashing library's notifications.

#include "PackageTestSupport.h"
#include "SimulatedCard.h"

#include "flasher/Library.h"
#include "sim/CardState.h"
#include "sim/Loader.h"

#include <memory>
#include <utility>
#include <vector>

namespace flashtest {

struct Notification {
    int32_t code;
    int32_t value;
    bool operator==(const Notification& other) const {
        return code == other.code && value == other.value;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Notification& n) {
    return out << "(" << n.code << ", 0x" << std::hex << n.value << std::dec << ")";
}

class Notifications {
public:
    static void callback(int32_t code, int32_t value, void* context) {
        static_cast<Notifications*>(context)->seen.push_back({code, value});
    }
    std::vector<int32_t> codes() const {
        std::vector<int32_t> out;
        for (const Notification& n : seen)
            out.push_back(n.code);
        return out;
    }
    std::vector<Notification> seen;
};

inline int32_t phase(int32_t share, int32_t steps) {
    return (share << 16) | steps;
}

// A card that runs an older firmware than the embedded package offers.
inline cardsim::CardState olderFirmware() {
    cardsim::CardState state;
    state.revision = "3.18.2";
    state.date = "Nov 02 2009";
    state.time = "10:20:30";
    state.softwareVersion = "2.1.0";
    return state;
}

class FlashingCard : public testing_support::SimulatedCard {
protected:
    void SetUp() override {
        SimulatedCard::SetUp();
        FfShutdown(); // no state left by an earlier test
    }

    void TearDown() override {
        if (card)
            card->stop();
        loader.reset();
        SimulatedCard::TearDown();
    }

    cardsim::LoaderOptions loaderOptions() const {
        cardsim::LoaderOptions options;
        options.comeBackDelayMs = 1000;
        return options;
    }

    // Starts the card in `mode` with its loader, from the given firmware state.
    void startFlashingCard(int mode, cardsim::LoaderOptions loaderOptions,
                           const cardsim::CardState& firmware = olderFirmware(),
                           cardsim::SimulatorOptions simulator = {}) {
        if (simulator.root.empty())
            simulator = options();
        simulator.stateFile = root + "/card.state.json";
        cardsim::CardState state = firmware;
        state.mode = mode;
        ASSERT_TRUE(cardsim::saveCardState(simulator.stateFile, state));
        card = std::make_unique<cardsim::CardSimulator>(simulator);
        loader = std::make_unique<cardsim::Loader>(*card, std::move(loaderOptions));
        std::string problem;
        ASSERT_TRUE(card->start(&problem)) << problem;
        refreshPaths();
    }

    FfResult flash(const tools::Bytes& package, bool updateSoftware = false) {
        return FfFlash(L"QT0880", diag.c_str(), app.c_str(), true, updateSoftware, package.data(),
                       static_cast<uint32_t>(package.size()), &Notifications::callback,
                       &notifications);
    }

    FfResult preFlash() {
        return FfPreFlash(L"QT0880", diag.c_str(), app.c_str(), &Notifications::callback,
                          &notifications);
    }

    FfResult postFlash(const std::string& script) {
        return FfPostFlash(L"QT0880", diag.c_str(), app.c_str(), script.data(),
                           static_cast<uint32_t>(script.size()), nullptr, nullptr);
    }

    // The card in loader mode and the library told so.
    void startInLoaderMode(cardsim::LoaderOptions options) {
        startFlashingCard(1, std::move(options));
        ASSERT_EQ(preFlash(), 0u);
        notifications.seen.clear();
    }

    std::string lastError() const { return flasher::library().lastError(); }

    std::unique_ptr<cardsim::Loader> loader;
    Notifications notifications;
};

// A small package with one type-9 image of `payload` filler bytes.
inline tools::Bytes smallFlashPackage(size_t payload = 10000) {
    return packagetest::smallPackage(payload);
}

} // namespace flashtest
