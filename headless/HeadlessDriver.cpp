#include "headless/HeadlessDriver.h"

#include "app/AppDeviceTrait.h"
#include "app/ErrorCodes.h"
#include "app/PackageImage.h"
#include "app/StateMachine.h"
#include "app/TraitEvent.h"
#include "app/UpdateInfo.h"
#include "platform/MessageWindow.h"
#include "update/AppUpdateTrait.h"

#include <atomic>
#include <cstdarg>

namespace Kestrel {
namespace {

// A trait event carried through the message window: kind and arg1 in wParam, arg2 and arg3 in
// lParam.
constexpr uint32_t kMessageTraitEvent = platform::kMessageApp + 1;

std::atomic<HeadlessDriver*> activeDriver{nullptr};

uint64_t pack(int32_t high, int32_t low) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | static_cast<uint32_t>(low);
}

int32_t high(uint64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value >> 32));
}

int32_t low(uint64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

} // namespace

HeadlessDriver::HeadlessDriver(const Options& options, std::FILE* out)
    : options(options), out(out) {
    window = platform::createMessageWindow(
        [this](const platform::Message& message) -> int64_t {
            if (message.id == kMessageTraitEvent)
                handle(high(message.wParam), low(message.wParam),
                       high(static_cast<uint64_t>(message.lParam)),
                       low(static_cast<uint64_t>(message.lParam)));
            return 0;
        },
        "kestrel-headless");
    activeDriver.store(this);
    AppUpdateTrait::setEventPoster(&HeadlessDriver::postTraitEvent);
    PackageImage::setEmbeddedLookup(options.embeddedPackage ? &PackageImage::resourcePackage
                                                            : nullptr);
}

HeadlessDriver::~HeadlessDriver() {
    AppUpdateTrait::setEventPoster(nullptr);
    activeDriver.store(nullptr);
    platform::destroyMessageWindow(window);
}

void HeadlessDriver::print(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(out, format, arguments);
    va_end(arguments);
    std::fputc('\n', out);
    std::fflush(out);
}

void HeadlessDriver::postTraitEvent(const TraitEvent& event) {
    if (HeadlessDriver* driver = activeDriver.load())
        driver->post(event.kind, event.arg1, event.arg2, event.arg3);
}

void HeadlessDriver::post(int32_t kind, int32_t arg1, int32_t arg2, int32_t arg3) {
    platform::postMessage(window, kMessageTraitEvent, pack(kind, arg1),
                          static_cast<int64_t>(pack(arg2, arg3)));
}

int HeadlessDriver::openWindow(int window, int parent, int stateNumber) {
    post(ctetOpenWindow, window, parent, stateNumber);
    return 0;
}

int HeadlessDriver::refreshWindow(int window) {
    post(ctetRefreshWindow, window, 0, 0);
    return 0;
}

int HeadlessDriver::closeWindow(int window) {
    post(ctetCloseWindow, window, 0, 0);
    return 0;
}

int HeadlessDriver::terminateApp() {
    post(ctetTerminateApp, 0, 0, 0);
    return 0;
}

// Runs on the loop's thread, like the application's trait-event handler.
void HeadlessDriver::handle(int32_t kind, int32_t arg1, int32_t arg2, int32_t) {
    StateMachine& machine = StateMachine::instance();
    switch (kind) {
    case ctetOpenWindow:
        print("window %d", arg1);
        if (arg1 == kWindowWelcome) {
            ++welcomePageOpened;
            if (welcomePageOpened > 1 && options.quitWithoutCard)
                machine.dispatch(sigCancel, 0);
        } else if (arg1 == kWindowUpdate) {
            machine.dispatch(sigUpdate, 0);
        } else if (arg1 == kWindowError || arg1 == kWindowSuccess) {
            if (arg1 == kWindowError && resultCode == 0)
                resultCode = machine.errorCode;
            machine.dispatch(sigCancel, 0);
        }
        break;
    case ctetProgress:
        print("progress %d %d", arg1, arg2);
        AppUpdateTrait::dispatchEndOfUpdate(machine, arg1, arg2);
        break;
    case ctetTerminateApp:
        platform::postQuitMessage(0);
        break;
    default:
        break;
    }
}

int HeadlessDriver::run() {
    StateMachine& machine = StateMachine::instance();
    AppDeviceTrait deviceTrait(machine);
    AppUpdateTrait updateTrait(machine);
    machine.windowTrait = this;
    machine.deviceTrait = &deviceTrait;
    machine.updateTrait = &updateTrait;
    machine.init();
    platform::runMessageLoop();
    // Nothing may dispatch into the machine once the traits are gone.
    machine.windowTrait = &defaultWindowTrait();
    machine.deviceTrait = &defaultDeviceTrait();
    machine.updateTrait = &defaultUpdateTrait();
    const UpdateInfo& info = *updateTrait.updateInfo;
    print("firmware previous=%s current=%s", info.deviceFirmware.version.previous().c_str(),
          info.deviceFirmware.version.current().c_str());
    print("software previous=%s current=%s", info.deviceSoftware.version.previous().c_str(),
          info.deviceSoftware.version.current().c_str());
    print("flags recovery=%d fwUpdate=%d swUpdate=%d fwRecovery=%d", info.recovery ? 1 : 0,
          info.fwUpdate ? 1 : 0, info.swUpdate ? 1 : 0, info.fwRecovery ? 1 : 0);
    const int exitCode = mapExitCode(resultCode);
    print("result %d", resultCode);
    print("exit %d", exitCode);
    return exitCode;
}

} // namespace Kestrel
