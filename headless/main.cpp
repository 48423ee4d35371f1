// kestrel-headless: one whole run of the updater without windows, on the machine the
// environment names (KESTREL_SIM_ROOT for a simulated one).

#include "app/util/LoggingConfiguration.h"
#include "headless/HeadlessDriver.h"

#include <KestrelVersion.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kWrongUsage = 2;

void usage(std::FILE* out) {
    std::fprintf(out, "usage: kestrel-headless [-l] [--no-embedded-package] [--quit-without-card]\n"
                      "  -l                     log to the default log file\n"
                      "  --no-embedded-package  run as an updater that carries no package\n"
                      "  --quit-without-card    end when no card is present instead of waiting\n"
                      "  -h, --help             print this help and exit\n"
                      "  --version              print the version and exit\n"
                      "prints \"window N\", \"progress CODE VALUE\", then \"result CODE\" and "
                      "\"exit CODE\"\n");
}

} // namespace

int main(int argc, char** argv) {
    Kestrel::HeadlessDriver::Options options;
    bool logging = false;
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if (option == "-l") {
            logging = true;
        } else if (option == "--no-embedded-package") {
            options.embeddedPackage = false;
        } else if (option == "--quit-without-card") {
            options.quitWithoutCard = true;
        } else if (option == "--help" || option == "-h") {
            usage(stdout);
            return 0;
        } else if (option == "--version") {
            std::printf("kestrel-headless %s\n", Kestrel::kVersion);
            return 0;
        } else {
            std::fprintf(stderr, "kestrel-headless: unknown option %s\n", option.c_str());
            usage(stderr);
            return kWrongUsage;
        }
    }
    Kestrel::Logging::configureLogging();
    Kestrel::Logging::setLogging(logging, true);
    Kestrel::HeadlessDriver driver(options, stdout);
    return driver.run();
}
