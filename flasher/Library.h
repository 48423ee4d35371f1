#pragma once

#include "flasher/FfLogger.h"

#include <cstdint>
#include <atomic>
#include <vector>

namespace flasher {

constexpr uint16_t kDefaultBlockSize = 65276;
constexpr size_t kCbcSettingCount = 5;

// Library state: 0 idle, 1 the device is in loader mode (found there or put there by FfPreFlash).
constexpr int32_t kStateIdle = 0;
constexpr int32_t kStateLoader = 1;

// One flashable file of a package; it points into the caller's package memory.
struct ImageListEntry {
    uint32_t fileType = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t trailer = 0;
};

// The one library object behind the Ff functions.
class Library : public FfLogger {
public:
    uint8_t cbcSettings[kCbcSettingCount] = {};
    uint16_t blockSize = kDefaultBlockSize;
    int32_t share = 0;
    int32_t state = kStateIdle;
    double downloadWeight = 0;
    double programmingWeight = 0;
    std::vector<ImageListEntry> imageList;
    uint32_t imageTotal = 0;

    // Library-wide values beside the object.
    FfProgressCallback progressCallback = nullptr;
    void* progressContext = nullptr;
    FfLogSink packageReaderSink = nullptr;
    size_t imageCursor = 0;
    uint32_t lastHelperResult = 0;
    int32_t lastProgressMessage = 0;
    int32_t scriptEventsSeen = 0;
    int32_t scriptEventsHandled = 0;
    uint32_t scriptRunResult = 0;
    // Set by FfCancel from any thread; read at the flashing calls' safe points.
    std::atomic<bool> cancelled{false};

    // Every library call starts here: the shared logger takes the object's level and sink.
    void shareLogger() { sharedLogger().takeLoggerOf(*this); }
    void notify(int32_t code, int32_t value) const {
        if (progressCallback != nullptr)
            progressCallback(code, value, progressContext);
    }
};

Library& library();

} // namespace flasher
