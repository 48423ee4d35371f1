#pragma once

#include "app/DeviceTrait.h"
#include "app/UpdateTrait.h"
#include "app/WindowTrait.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Traits that write every call the workflow makes into one shared journal.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> entries;

    void add(const std::string& entry) {
        std::lock_guard<std::mutex> guard(mutex);
        entries.push_back(entry);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::string> taken;
        taken.swap(entries);
        return taken;
    }
};

struct RecordingWindowTrait : WindowTrait {
    explicit RecordingWindowTrait(Journal& journal) : journal(journal) {}
    int openWindow(int window, int parent, int stateNumber) override {
        journal.add("open(" + std::to_string(window) + "," + std::to_string(parent) + "," +
                    std::to_string(stateNumber) + ")");
        return 0;
    }
    int refreshWindow(int window) override {
        journal.add("refresh(" + std::to_string(window) + ")");
        return 0;
    }
    int closeWindow(int window) override {
        journal.add("close(" + std::to_string(window) + ")");
        return 0;
    }
    int terminateApp() override {
        journal.add("terminateApp");
        return 0;
    }
    Journal& journal;
};

struct RecordingDeviceTrait : DeviceTrait {
    explicit RecordingDeviceTrait(Journal& journal) : journal(journal) {}
    int initialise() override {
        journal.add("initialise");
        if (onInitialise)
            onInitialise();
        return 0;
    }
    int checkDevice(bool asynchronous) override {
        journal.add(std::string("checkDevice(") + (asynchronous ? "1" : "0") + ")");
        return 0;
    }
    int terminate() override {
        journal.add("terminate");
        return 0;
    }
    Journal& journal;
    // What the device side does while it initialises, e.g. report a present card.
    std::function<void()> onInitialise;
};

struct RecordingUpdateTrait : UpdateTrait {
    explicit RecordingUpdateTrait(Journal& journal) : journal(journal) {}
    int startUpdate() override {
        journal.add("startUpdate");
        return 0;
    }
    Journal& journal;
};
