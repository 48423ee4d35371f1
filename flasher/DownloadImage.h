#pragma once

// Downloads one wrapped image into a device in loader mode and has the device program it.

#include "flasher/AtEngine.h"
#include "flasher/Ff.h"

#include <cstddef>
#include <cstdint>

namespace flasher {

// Reads of an answer frame before the wait gives up, each bounded by the answer timeout; a
// device that stays silent for one whole answer timeout ends the wait at once.
constexpr int kAnswerReads = 50;
constexpr uint32_t kAnswerTimeoutSeconds = 30;
// Rejections of one frame before the download gives up.
constexpr int kFrameRejections = 50;

// 0, 0x2000004E, 0x2000004D, 0x20010001, 0x20000028 or 0x20000001. Uses the library's logger,
// block size, share, weights and the progress callback that FfFlash stored.
FfResult downloadImage(const wchar_t* diagnosticPath, const uint8_t* image, size_t length);

// "AT%PROG=2" in programming mode: the device's messages go to handleProgrammingMessage.
int startProgramming(AtEngine& engine, PortHandle handle, FfProgressCallback callback,
                     void* context);
// "AT%LOAD" starts the loader's block protocol.
int loadCommand(AtEngine& engine, PortHandle handle);

} // namespace flasher
