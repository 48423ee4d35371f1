#include "app/util/Log.h"

namespace Kestrel {
namespace Log {

log4cplus::Logger logger(const char* name) {
    return log4cplus::Logger::getInstance(name);
}

} // namespace Log
} // namespace Kestrel
