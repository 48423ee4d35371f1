#include "app/util/LogFileAppender.h"

#include "app/util/Log.h"
#include "platform/LogFile.h"

#include <cstdio>
#include <memory>
#include <string>

namespace Kestrel {
namespace Logging {
namespace {

// Below this a log would rotate on nearly every line.
constexpr uint64_t kSmallestRotateBytes = 4096;

uint64_t rotateBytes(const log4cplus::helpers::Properties& properties) {
    const std::string text = properties.getProperty("MaxFileSize");
    if (text.empty())
        return kLogRotateBytes;
    try {
        const uint64_t value = std::stoull(text);
        return value < kSmallestRotateBytes ? kSmallestRotateBytes : value;
    } catch (const std::exception&) {
        return kLogRotateBytes;
    }
}

class LogFileAppender : public log4cplus::Appender {
public:
    explicit LogFileAppender(const log4cplus::helpers::Properties& properties)
        : log4cplus::Appender(properties),
          file(properties.getProperty("File"), rotateBytes(properties)) {}
    ~LogFileAppender() override { destructorImpl(); }

    void close() override {
        file.close();
        closed = true;
    }

protected:
    // Called with the appender's lock held.
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        if (file.append(formatEvent(event)) || problemReported)
            return;
        // The library's own error handling would say as little; once is enough.
        problemReported = true;
        std::fprintf(stderr, "kestrel: cannot write the log: %s\n", file.problem().c_str());
    }

private:
    platform::LogFile file;
    bool problemReported = false;
};

} // namespace

void registerLogFileAppender() {
    static const bool registered = [] {
        log4cplus::spi::getAppenderFactoryRegistry().put(
            std::make_unique<
                log4cplus::spi::FactoryTempl<LogFileAppender, log4cplus::spi::AppenderFactory>>(
                kLogFileAppenderClass));
        return true;
    }();
    (void)registered;
}

} // namespace Logging
} // namespace Kestrel
