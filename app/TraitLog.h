#pragma once

#include "app/util/Log.h"

#include <cstdint>
#include <ostream>

namespace Kestrel {

// The logger of the workflow engine, the machine and the default traits.
const log4cplus::Logger& fsmLogger();

// Writes a pointer the way trait call logs show it: in hexadecimal.
struct HexPointer {
    const void* pointer;
};

inline std::ostream& operator<<(std::ostream& out, HexPointer value) {
    return out << "0x" << std::hex << reinterpret_cast<uintptr_t>(value.pointer) << std::dec;
}

// Narrow form of a wide text for logs.
std::string narrowForLog(const wchar_t* text);

} // namespace Kestrel
