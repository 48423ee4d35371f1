#include "app/TraitLog.h"

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
        const wchar_t c = *text;
        narrow += (c >= 0 && c < 0x80) ? static_cast<char>(c) : '?';
    }
    return narrow;
}

} // namespace Kestrel
