#include "app/TraitLog.h"

#include <cstdint>

namespace Kestrel {

const log4cplus::Logger& fsmLogger() {
    static const log4cplus::Logger logger = Log::logger("kestrel.fsm");
    return logger;
}

std::string narrowForLog(const wchar_t* text) {
    std::string narrow;
    if (text == nullptr)
        return narrow;
    for (; *text != L'\0'; ++text) {
        // wchar_t is signed on some systems: negative values count as beyond ASCII.
        const auto code = static_cast<uint32_t>(*text);
        narrow += code < 0x80 ? static_cast<char>(code) : '?';
    }
    return narrow;
}

} // namespace Kestrel
