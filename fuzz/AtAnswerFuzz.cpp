// Fuzz body: the parsers of the devices' AT answers ("ATI", "AT_VISOV?", "AT_VLMC?") on arbitrary
// text. Nothing may read outside the input, and every text field stays zero-terminated.

#include "flasher/InfoParsers.h"

#include <cstring>
#include <vector>

namespace {

void checkTerminated(const FfInfoRecord& record) {
    if (std::memchr(record.description, 0, sizeof record.description) == nullptr ||
        std::memchr(record.version, 0, sizeof record.version) == nullptr ||
        std::memchr(record.model, 0, sizeof record.model) == nullptr ||
        std::memchr(record.lmCode, 0, sizeof record.lmCode) == nullptr)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact copy without a terminating zero, so that a read past the end is caught.
    const std::vector<char> input(data, data + size);
    const char* text = input.empty() ? "" : input.data();
    FfInfoRecord record{};
    flasher::parseIdentity(text, input.size(), record);
    checkTerminated(record);
    flasher::parseSoftwareVersion(text, input.size(), record);
    checkTerminated(record);
    flasher::parseLmCode(text, input.size(), record);
    checkTerminated(record);
    return 0;
}
