#include "app/util/Utilities.h"

#include "app/util/Log.h"
#include "platform/Clock.h"

namespace Kestrel {
namespace Utilities {

void sleep(uint32_t ms) {
    static const log4cplus::Logger log = Log::logger("tessera.utilities");
    KESTREL_DEBUG(log, "Sleep for " << ms << " ms");
    const uint64_t start = platform::tickMs();
    platform::sleepMs(ms);
    KESTREL_DEBUG(log, "Slept for " << (platform::tickMs() - start) << " ms");
}

} // namespace Utilities
} // namespace Kestrel
