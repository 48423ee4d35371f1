#pragma once

// The only way into log4cplus. Debian's log4cplus is built for narrow characters; wxWidgets
// defines UNICODE, which would switch the log4cplus headers to wide strings, so the macros are
// hidden while they are read. Include this before any wx header; never include log4cplus
// directly.

#pragma push_macro("UNICODE")
#pragma push_macro("_UNICODE")
#undef UNICODE
#undef _UNICODE
#include <log4cplus/appender.h>
#include <log4cplus/configurator.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/logger.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/factory.h>
#include <log4cplus/spi/loggingevent.h>
#pragma pop_macro("_UNICODE")
#pragma pop_macro("UNICODE")

#include <sstream>
#include <string>

namespace Kestrel {
namespace Log {

// The named logger; loggers live for the whole process.
log4cplus::Logger logger(const char* name);

} // namespace Log
} // namespace Kestrel

// Builds the message only when the logger is enabled for the level, and passes file and line.
#define KESTREL_LOG(logger, level, message)                                                        \
    do {                                                                                           \
        const log4cplus::Logger& kestrelLogger_ = (logger);                                        \
        if (kestrelLogger_.isEnabledFor(level)) {                                                  \
            std::ostringstream kestrelStream_;                                                     \
            kestrelStream_ << message;                                                             \
            kestrelLogger_.forcedLog(level, kestrelStream_.str(), __FILE__, __LINE__);             \
        }                                                                                          \
    } while (false)

#define KESTREL_DEBUG(logger, message) KESTREL_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, message)
#define KESTREL_INFO(logger, message) KESTREL_LOG(logger, log4cplus::INFO_LOG_LEVEL, message)
#define KESTREL_WARN(logger, message) KESTREL_LOG(logger, log4cplus::WARN_LOG_LEVEL, message)
#define KESTREL_ERROR(logger, message) KESTREL_LOG(logger, log4cplus::ERROR_LOG_LEVEL, message)
