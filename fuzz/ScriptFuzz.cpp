// Fuzz body: customisation scripts, bare or inside a package, through FfPostFlash with no device.
// Every mode or command element then fails at its port, so what runs is the XML parse, the
// building of mode names and commands, and the resume counters. The pauses between the steps
// are scaled down to almost nothing, so an input costs its parse and not seconds of waiting.

#include "flasher/Ff.h"
#include "platform/Clock.h"

#include <cstddef>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool scaled = (platform::overrideTimeScale(1e-6), true);
    (void)scaled;
    const std::vector<char> input(data, data + size);
    const char* script = input.empty() ? nullptr : input.data();
    const FfResult result =
        FfPostFlash(L"", L"", L"", script, static_cast<uint32_t>(input.size()), nullptr, nullptr);
    // Without a device no mode can change, so no run may ask to be resumed.
    if (result != kFfOk && result != kFfNoScriptInPackage && result != kFfScriptCommandFailed &&
        result != kFfScriptModeFailed)
        __builtin_trap();
    return 0;
}
