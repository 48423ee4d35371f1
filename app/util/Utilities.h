#pragma once

#include <cstdint>

namespace Kestrel {
namespace Utilities {

// Pauses the calling thread for `ms` milliseconds and logs how long it really slept.
void sleep(uint32_t ms);

} // namespace Utilities
} // namespace Kestrel
