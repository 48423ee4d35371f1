#pragma once

#include <cstdint>
#include <string>

namespace Kestrel {

// What the result dialog shows for a dialog kind (the opening state's number) and a result
// code, translated; and whether closing it may retry (class 2).
std::wstring resultDescription(int kind, int32_t code);
std::wstring resultHint(int kind, int32_t code, const std::string& firmwarePrevious,
                        const std::string& firmwareCurrent, const std::string& softwarePrevious,
                        const std::string& softwareCurrent);
int resultCloseClass(int32_t code, int kind);

} // namespace Kestrel
