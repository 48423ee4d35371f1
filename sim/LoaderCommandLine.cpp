#include "sim/LoaderCommandLine.h"

#include <charconv>
#include <cstring>
#include <system_error>

namespace cardsim {

bool optionNumber(const char* text, unsigned long long& value) {
    if (text == nullptr || *text == '\0')
        return false;
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value, 10);
    return error == std::errc() && stop == end;
}

int parseLoaderOption(const std::string& option, const char* value, LoaderOptions& options,
                      std::string& problem) {
    if (option == "--no-come-back") {
        options.faults.noComeBack = true;
        return 1;
    }
    if (option == "--silent-at-start-download") {
        options.faults.silentAtStartDownload = true;
        return 1;
    }
    if (option == "--programming-error") {
        if (value == nullptr || *value == '\0') {
            problem = option + " needs a text";
            return -1;
        }
        options.faults.programmingError = value;
        return 2;
    }
    using Setter = void (*)(LoaderOptions&, unsigned long long);
    struct NumericOption {
        const char* name;
        Setter set;
    };
    static const NumericOption numeric[] = {
        {"--reject-start-download",
         [](LoaderOptions& o, unsigned long long v) { o.faults.rejectStartDownload = int(v); }},
        {"--reject-block",
         [](LoaderOptions& o, unsigned long long v) { o.faults.rejectBlock = int(v); }},
        {"--reject-block-times",
         [](LoaderOptions& o, unsigned long long v) { o.faults.rejectBlockTimes = int(v); }},
        {"--timeout-at-block",
         [](LoaderOptions& o, unsigned long long v) { o.faults.timeoutAtBlock = int(v); }},
        {"--silent-at-block",
         [](LoaderOptions& o, unsigned long long v) { o.faults.silentAtBlock = int(v); }},
        {"--stray-byte-at-block",
         [](LoaderOptions& o, unsigned long long v) { o.faults.strayByteAtBlock = int(v); }},
        {"--noise-at-block",
         [](LoaderOptions& o, unsigned long long v) { o.faults.noiseAtBlock = int(v); }},
        {"--noise-interval", [](LoaderOptions& o, unsigned long long v) { o.noiseIntervalMs = v; }},
        {"--unplug-at-block",
         [](LoaderOptions& o, unsigned long long v) { o.faults.unplugAtBlock = int(v); }},
        {"--come-back-delay",
         [](LoaderOptions& o, unsigned long long v) { o.comeBackDelayMs = v; }},
        {"--link-rate", [](LoaderOptions& o, unsigned long long v) { o.bytesPerSecond = v; }},
        {"--loader-memory", [](LoaderOptions& o, unsigned long long v) { o.memorySize = v; }},
        {"--progress-interval",
         [](LoaderOptions& o, unsigned long long v) { o.progressIntervalMs = v; }},
    };
    for (const NumericOption& candidate : numeric) {
        if (option != candidate.name)
            continue;
        unsigned long long amount = 0;
        if (!optionNumber(value, amount)) {
            problem = option + " needs a number";
            return -1;
        }
        candidate.set(options, amount);
        return 2;
    }
    return 0;
}

void printLoaderUsage(std::FILE* out) {
    std::fprintf(out,
                 "loader:\n"
                 "  --come-back-delay MS   time off the bus after programming (default 2000)\n"
                 "  --link-rate BYTES      link throughput in bytes per second (default: none)\n"
                 "  --loader-memory BYTES  largest image payload (default 16 MiB)\n"
                 "  --progress-interval MS pause between programming messages (default 50)\n"
                 "  --noise-interval MS    pause between stray bytes (default 100)\n"
                 "loader faults:\n"
                 "  --reject-start-download N   answer 0x09 to the first N StartDownloads\n"
                 "  --reject-block K --reject-block-times N   answer 0x09 N times at block K\n"
                 "  --timeout-at-block K   answer 0x0A at block K and reset\n"
                 "  --silent-at-start-download   answer no StartDownload request\n"
                 "  --silent-at-block K    answer nothing from block K on\n"
                 "  --stray-byte-at-block K   send a stray byte before the answer to block K\n"
                 "  --noise-at-block K     from block K on send stray bytes instead of answers\n"
                 "  --unplug-at-block K    leave the bus at block K\n"
                 "  --programming-error TEXT   report TEXT and ERROR while programming\n"
                 "  --no-come-back         do not come back after the reset\n");
}

} // namespace cardsim
