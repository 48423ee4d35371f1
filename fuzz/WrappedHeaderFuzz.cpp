// Fuzz body: the wrapped header, the frames built from it, the software-version position and the
// card simulator's reading of a received image.

#include "flasher/PackageInfo.h"
#include "flasher/WrappedImage.h"
#include "sim/Loader.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> input(data, data + size);
    const uint8_t* bytes = input.empty() ? nullptr : input.data();
    flasher::WrappedHeader header;
    const int parsed = flasher::parseWrappedHeader(bytes, input.size(), header);
    if (parsed == flasher::kWrappedHeaderOk || parsed == flasher::kWrappedHeaderBadChecksum) {
        if (header.headerLength > input.size())
            __builtin_trap();
        flasher::FrameBuilder frames;
        frames.buildStartDownload(flasher::blockSizeFor(header, flasher::kLargestBlockSize), bytes,
                                  header.headerLength);
        if (flasher::xor16(frames.data(), frames.size()) != 0 && frames.size() % 2 == 0)
            __builtin_trap();
    }
    flasher::softwareVersionBytes(bytes, input.size());
    if (bytes) {
        cardsim::CardState state;
        std::string problem;
        cardsim::Loader::identityFromImage(bytes, input.size(), state, problem);
    }
    return 0;
}
