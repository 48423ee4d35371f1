#pragma once

#include "tests/support/UdevTestbed.h"

#include "sim/CardBus.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

namespace udeve2e {

// The card simulator's bus on an emulated udev: each arrival plugs the card's tree in with
// ports of its own (umockdev cannot make a device node twice), each departure sends the
// "remove" events and takes it out again. The card keeps its USB ids in loader mode, as the
// simulated machine's card does; only its ports change.
class TreeCardBus : public cardsim::CardBus {
public:
    static constexpr const char* kTree = "qt0880";
    // The card's USB device in sysfs: the Physdev of its modem in ModemManager.
    static constexpr const char* kSysfsPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    // The tree's ttys are ttyUSB0 (diagnostics) to ttyUSB3; each arrival shifts them by this.
    static constexpr int kPortsPerArrival = 4;
    static constexpr int kApplicationPort = 2;
    static constexpr int kDiagnosticPort = 0;
    static constexpr size_t kTerminalNameSize = 64;

    // `tree` names the card's udev tree (a file of the udev tests, or one a test defined);
    // `firstShift` renumbers its ports from the first arrival on, for a second card in the same
    // testbed.
    explicit TreeCardBus(udevtest::UdevTestbed& testbed, std::string tree = kTree,
                         int firstShift = 0)
        : testbed_(testbed), tree_(std::move(tree)), firstShift_(firstShift) {}

    bool arrive(int, int generation, cardsim::BusTerminal& application,
                cardsim::BusTerminal& diagnostic) override {
        const int shift = renumbering(generation);
        const auto start = std::chrono::steady_clock::now();
        testbed_.plug(tree_, shift);
        spent(start);
        application = terminal(kApplicationPort + shift);
        diagnostic = terminal(kDiagnosticPort + shift);
        return application.master >= 0 && diagnostic.master >= 0;
    }

    void leave(int, int generation) override {
        const auto start = std::chrono::steady_clock::now();
        const int shift = renumbering(generation);
        for (int port = 0; port < kPortsPerArrival; ++port)
            hangUp(port + shift);
        testbed_.unplug(tree_, shift);
        spent(start);
    }

    // The time spent announcing arrivals and departures, paced for umockdev's short event
    // queue: a real bus announces a card at once.
    std::chrono::nanoseconds announcing() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return announcing_;
    }

private:
    int renumbering(int generation) const {
        return firstShift_ + (generation - 1) * kPortsPerArrival;
    }

    void spent(std::chrono::steady_clock::time_point start) {
        const auto time = std::chrono::steady_clock::now() - start;
        std::lock_guard<std::mutex> guard(mutex_);
        announcing_ += time;
    }

    // The kernel hangs up a USB serial port whose device goes, so a read on it ends at once.
    // The testbed keeps the terminal's master open, so hang its other side up as the kernel
    // would.
    void hangUp(int number) {
        const int master = testbed_.terminal("/dev/ttyUSB" + std::to_string(number));
        char name[kTerminalNameSize] = {};
        if (master < 0 || ptsname_r(master, name, sizeof name) != 0)
            return;
        const int port = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (port < 0)
            return;
        // Straight to the kernel: umockdev's preload answers the ioctls of its devices itself.
        syscall(SYS_ioctl, port, TIOCVHANGUP, 0);
        close(port);
    }

    cardsim::BusTerminal terminal(int number) {
        const std::string name = "ttyUSB" + std::to_string(number);
        return {testbed_.terminal("/dev/" + name), name};
    }

    udevtest::UdevTestbed& testbed_;
    const std::string tree_;
    const int firstShift_;
    mutable std::mutex mutex_;
    std::chrono::nanoseconds announcing_{0};
};

} // namespace udeve2e
