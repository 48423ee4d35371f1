#pragma once

#include "tests/udev/UdevTestbed.h"

#include "sim/CardBus.h"

#include <functional>
#include <mutex>
#include <string>

namespace udeve2e {

// The card simulator's bus on an emulated udev: each arrival plugs the card's tree in with
// ports of its own (umockdev cannot make a device node twice), each departure sends the
// "remove" events and takes it out again. The card keeps its USB ids in loader mode, as the
// simulated machine's card does; only its ports change.
class TreeCardBus : public cardsim::CardBus {
public:
    static constexpr const char* kTree = "qt0880";
    // The tree's ttys are ttyUSB0 (diagnostics) to ttyUSB3; each arrival shifts them by this.
    static constexpr int kPortsPerArrival = 4;
    static constexpr int kApplicationPort = 2;
    static constexpr int kDiagnosticPort = 0;

    explicit TreeCardBus(udevtest::UdevTestbed& testbed) : testbed_(testbed) {}

    // From arrival `generation` on the card stays off the bus (0: it always comes back).
    void stayAwayFrom(int generation) { awayFrom_ = generation; }
    // Hears of each arrival once its tree is plugged in (on the card's thread). Before start.
    void setArrivalObserver(std::function<void(int generation)> observer) {
        observer_ = std::move(observer);
    }

    bool arrive(int, int generation, cardsim::BusTerminal& application,
                cardsim::BusTerminal& diagnostic) override {
        if (awayFrom_ != 0 && generation >= awayFrom_)
            return false;
        const int shift = renumbering(generation);
        testbed_.plug(kTree, shift);
        application = terminal(kApplicationPort + shift);
        diagnostic = terminal(kDiagnosticPort + shift);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            arrivals_ = generation;
        }
        if (observer_)
            observer_(generation);
        return application.master >= 0 && diagnostic.master >= 0;
    }

    void leave(int, int generation) override { testbed_.unplug(kTree, renumbering(generation)); }

    int arrivals() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return arrivals_;
    }

private:
    static int renumbering(int generation) { return (generation - 1) * kPortsPerArrival; }

    cardsim::BusTerminal terminal(int number) {
        const std::string name = "ttyUSB" + std::to_string(number);
        return {testbed_.terminal("/dev/" + name), name};
    }

    udevtest::UdevTestbed& testbed_;
    int awayFrom_ = 0;
    std::function<void(int)> observer_;
    mutable std::mutex mutex_;
    int arrivals_ = 0;
};

} // namespace udeve2e
