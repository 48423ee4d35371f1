#pragma once

#include "app/WindowTrait.h"

#include <cstdint>
#include <cstdio>

class TraitEvent;

namespace Kestrel {

// Runs the real workflow, device trait and update trait with no windows: the windows are
// answered the way the unattended modes answer them (the update page starts the update, the
// error and success dialogs cancel), and the detection library is pumped by the platform's
// message loop on the calling thread. Every progress notification, the final result code and
// the exit code are printed on `out`, with the device's versions and update flags at the end.
class HeadlessDriver : public WindowTrait {
public:
    struct Options {
        bool embeddedPackage = true;
        // Leave the program when no card is present instead of waiting for one.
        bool quitWithoutCard = false;
    };

    HeadlessDriver(const Options& options, std::FILE* out);
    ~HeadlessDriver() override;

    // Returns the process exit code.
    int run();

    int openWindow(int window, int parent, int stateNumber) override;
    int refreshWindow(int window) override;
    int closeWindow(int window) override;
    int terminateApp() override;

    // The update trait's events, handed to the loop's thread.
    static void postTraitEvent(const TraitEvent& event);

private:
    void post(int32_t kind, int32_t arg1, int32_t arg2, int32_t arg3);
    void handle(int32_t kind, int32_t arg1, int32_t arg2, int32_t arg3);
    void print(const char* format, ...);

    Options options;
    std::FILE* out;
    uint64_t window = 0;
    int welcomePageOpened = 0;
    int32_t resultCode = 0;
};

} // namespace Kestrel
