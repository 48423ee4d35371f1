#include "detection/XLog.h"

#include "detection/Nw.h"
#include "detection/WideText.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

namespace detection {
namespace {

constexpr int kHighestLevel = 3;
constexpr int kDetailLevel = 1;
constexpr int kWarningLevel = 2;

struct LogTarget {
    std::mutex mutex;
    NwLogCallback callback = nullptr;
    void* context = nullptr;
};

LogTarget& target() {
    static LogTarget* instance = new LogTarget;
    return *instance;
}

std::atomic<int> currentLevel{0};

// Keeps errno for the caller of a logging function.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }

private:
    int saved_;
};

void emitNarrow(const char* text) {
    const std::wstring wide = wideFromUtf8(text);
    XLogString(wide.c_str());
}

void formatAndEmit(const char* format, va_list arguments) {
    if (!format) {
        emitNarrow("XLog: <Null>.");
        return;
    }
    va_list counting;
    va_copy(counting, arguments);
    const int counted = std::vsnprintf(nullptr, 0, format, counting);
    va_end(counting);
    if (counted < 0) {
        emitNarrow("XLog: Cannot format message.");
        return;
    }
    char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(counted) + 1));
    if (!buffer) {
        emitNarrow("XLog: Not enough memory to log message.");
        return;
    }
    const int written = std::vsnprintf(buffer, static_cast<size_t>(counted) + 1, format, arguments);
    if (written < 0) {
        emitNarrow("XLog: Cannot format message.");
    } else {
        if (written != counted)
            emitNarrow("XLog: Suspicious state.");
        emitNarrow(buffer);
    }
    std::free(buffer);
}

} // namespace

int logLevel() {
    return currentLevel.load();
}

bool isLogLevelEnabled(int level) {
    if (level > kHighestLevel)
        level = kHighestLevel;
    switch (currentLevel.load()) {
    case 0:
        return level != kDetailLevel;
    case 1:
        return true;
    case 2:
        return level >= kWarningLevel;
    default:
        return level >= kHighestLevel;
    }
}

void XLog(const char* format, ...) {
    ErrnoKeeper keeper;
    va_list arguments;
    va_start(arguments, format);
    formatAndEmit(format, arguments);
    va_end(arguments);
}

void XLogAt(int level, const char* format, ...) {
    ErrnoKeeper keeper;
    if (!isLogLevelEnabled(level))
        return;
    va_list arguments;
    va_start(arguments, format);
    formatAndEmit(format, arguments);
    va_end(arguments);
}

void XLogString(const wchar_t* text) {
    ErrnoKeeper keeper;
    if (!text)
        text = L"XLogString: <Null>.";
    NwLogCallback callback = nullptr;
    void* context = nullptr;
    {
        LogTarget& log = target();
        std::lock_guard<std::mutex> guard(log.mutex);
        callback = log.callback;
        context = log.context;
    }
    if (callback) {
        callback(text, context);
        return;
    }
    std::string line;
    try {
        line = utf8FromWide(text) + "\n";
    } catch (const std::bad_alloc&) {
        line = "XLogString: Not enough memory to log message.\n";
    }
    std::fputs(line.c_str(), stderr);
}

} // namespace detection

extern "C" {

NwLogCallback NwSetLogCallback(NwLogCallback callback, void* context) {
    auto& log = detection::target();
    std::lock_guard<std::mutex> guard(log.mutex);
    log.callback = callback;
    log.context = context;
    return callback;
}

void NwSetLogLevel(uint16_t level) {
    if (level == detection::currentLevel.load())
        return;
    const int stored = level > detection::kHighestLevel ? detection::kHighestLevel : level;
    detection::currentLevel.store(stored);
    detection::XLogAt(3, "Nw: Logging level has been set to %d", static_cast<int>(level));
}

} // extern "C"
