#include "sim/LoaderCommandLine.h"

#include <cstdlib>

namespace cardsim {
namespace {

bool number(const char* text, unsigned long long& value) {
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return *end == '\0';
}

} // namespace

int parseLoaderOption(const std::string& option, const char* value, LoaderOptions& options,
                      std::string& problem) {
    LoaderFaults& faults = options.faults;
    if (option == "--no-come-back") {
        faults.noComeBack = true;
        return 1;
    }
    if (option == "--programming-error") {
        if (value == nullptr || *value == '\0') {
            problem = option + " needs a text";
            return -1;
        }
        faults.programmingError = value;
        return 2;
    }
    struct NumericOption {
        const char* name;
        unsigned long long* target;
    };
    unsigned long long rejectStart = 0, rejectBlock = 0, rejectTimes = 0, timeoutBlock = 0,
                       silentBlock = 0, unplugBlock = 0, comeBack = options.comeBackDelayMs,
                       rate = options.bytesPerSecond, memory = options.memorySize,
                       interval = options.progressIntervalMs;
    const NumericOption numeric[] = {
        {"--reject-start-download", &rejectStart},
        {"--reject-block", &rejectBlock},
        {"--reject-block-times", &rejectTimes},
        {"--timeout-at-block", &timeoutBlock},
        {"--silent-at-block", &silentBlock},
        {"--unplug-at-block", &unplugBlock},
        {"--come-back-delay", &comeBack},
        {"--link-rate", &rate},
        {"--loader-memory", &memory},
        {"--progress-interval", &interval},
    };
    for (const NumericOption& candidate : numeric) {
        if (option != candidate.name)
            continue;
        if (!number(value, *candidate.target)) {
            problem = option + " needs a number";
            return -1;
        }
        if (option == "--reject-start-download")
            faults.rejectStartDownload = static_cast<int>(rejectStart);
        else if (option == "--reject-block")
            faults.rejectBlock = static_cast<int>(rejectBlock);
        else if (option == "--reject-block-times")
            faults.rejectBlockTimes = static_cast<int>(rejectTimes);
        else if (option == "--timeout-at-block")
            faults.timeoutAtBlock = static_cast<int>(timeoutBlock);
        else if (option == "--silent-at-block")
            faults.silentAtBlock = static_cast<int>(silentBlock);
        else if (option == "--unplug-at-block")
            faults.unplugAtBlock = static_cast<int>(unplugBlock);
        else if (option == "--come-back-delay")
            options.comeBackDelayMs = comeBack;
        else if (option == "--link-rate")
            options.bytesPerSecond = rate;
        else if (option == "--loader-memory")
            options.memorySize = memory;
        else
            options.progressIntervalMs = interval;
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
                 "loader faults:\n"
                 "  --reject-start-download N   answer 0x09 to the first N StartDownloads\n"
                 "  --reject-block K --reject-block-times N   answer 0x09 N times at block K\n"
                 "  --timeout-at-block K   answer 0x0A at block K and reset\n"
                 "  --silent-at-block K    answer nothing from block K on\n"
                 "  --unplug-at-block K    leave the bus at block K\n"
                 "  --programming-error TEXT   report TEXT and ERROR while programming\n"
                 "  --no-come-back         do not come back after the reset\n");
}

} // namespace cardsim
