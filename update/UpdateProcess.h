#pragma once

#include <cstdint>
#include <functional>
#include <string>

class StateMachine;
struct UpdateTrait;

namespace Kestrel {

class PackageImage;

// The update of the device: decides what to flash, drives the flashing library through
// pre-flash, flash and customisation, waits for the device's re-enumerations, reads the device
// again and records a success in the registry.
class UpdateProcess {
public:
    // The process-wide record; it lives from the first update to the end of the program, so an
    // update starts with the flash flags the previous one left.
    struct Record {
        UpdateTrait* trait = nullptr;
        int32_t result = 0;
        int32_t deviceHandle = 0;
        bool ejected = false;
        bool flashFirmware = false;
        bool flashSoftware = false;
        PackageImage* image = nullptr;
    };

    // The customisation script run after flashing.
    static const char kCustomisationScript[];
    static constexpr uint32_t kCustomisationScriptLength = 146;

    // The registry key of the update records; the device's model name follows.
    static constexpr const char* kRegistryKey =
        "HKEY_LOCAL_MACHINE\\Software\\Velmar\\FirmwareUpdate\\";

    // One whole update on the calling thread, ended by notification 3 with the result.
    static void run(StateMachine& machine, UpdateTrait& trait);

    // The record as the last update left it.
    static Record record();
    // Clears the record as at program start (tests).
    static void resetRecord();

    // The flashing library's progress callback; `context` is the record.
    static void progressCallback(int32_t code, int32_t value, void* context);

private:
    UpdateProcess(StateMachine& machine, Record& record);

    int32_t sequence();
    int32_t normalUpdate();
    int32_t recoveryUpdate();
    int32_t determineFlags();
    // A flashing library call on the device's model and its diagnostic and application ports.
    using LibraryCall =
        std::function<uint32_t(const wchar_t* model, const wchar_t* diag, const wchar_t* app)>;

    int32_t flashStep();
    // Calls `call` on the device's current ports until the library no longer answers that the
    // device is changing mode, waiting for its return in between: 0 with the last answer in
    // `code`, or the failed wait's result, logged after `failure`.
    int32_t repeatWhileModeChanging(const char* failure, const LibraryCall& call, uint32_t& code);
    // After a successful flash: the device resets; waits for it when the workflow does, then
    // reads its status.
    int32_t afterFlashing();
    int32_t flashParts(bool firmware, bool software);
    int32_t checkPackageImages();
    int32_t waitForArrival();
    int32_t statusCheck();
    int32_t customisation();
    int32_t finalRead();
    void writeRegistryRecord();
    void notify(int code, int value);

    StateMachine& machine;
    Record& state;
    std::string step;
};

} // namespace Kestrel
