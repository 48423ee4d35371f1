#pragma once

#include "app/util/Log.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

// Collects the messages of one logger (and its children) while it exists.
class LogCapture {
public:
    explicit LogCapture(const char* loggerName)
        : logger(log4cplus::Logger::getInstance(loggerName)), appender(new Collector(*this)) {
        log4cplus::Logger::getDefaultHierarchy().enableAll();
        logger.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
        logger.addAppender(appender);
    }
    ~LogCapture() { logger.removeAppender(appender); }

    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> guard(mutex);
        return lines;
    }
    bool contains(const std::string& message) {
        const auto all = messages();
        return std::find(all.begin(), all.end(), message) != all.end();
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex);
        lines.clear();
    }

private:
    class Collector : public log4cplus::Appender {
    public:
        explicit Collector(LogCapture& owner) : owner(owner) {}
        ~Collector() override { destructorImpl(); }
        void close() override {}

    protected:
        void append(const log4cplus::spi::InternalLoggingEvent& event) override {
            std::lock_guard<std::mutex> guard(owner.mutex);
            owner.lines.push_back(event.getMessage());
        }

    private:
        LogCapture& owner;
    };

    log4cplus::Logger logger;
    log4cplus::SharedAppenderPtr appender;
    std::mutex mutex;
    std::vector<std::string> lines;
};
