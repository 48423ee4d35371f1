#pragma once

// A simulated machine (KESTREL_SIM_ROOT) in a temporary folder, and the card simulator's program
// started on it.

#include "tests/support/WaitUntil.h"

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

// The simulator's device file on the machine once its card is on the bus.
inline std::filesystem::path cardDeviceFile(const std::filesystem::path& root,
                                            const std::string& name = "cardsim") {
    return root / "devices" / (name + ".json");
}

// A new machine in a folder made from `pattern` ("/tmp/kestrel-e2e-XXXXXX") with "CmxService"
// running; an empty path when the folder could not be made.
inline std::filesystem::path makeSimulatedMachine(const std::string& pattern) {
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (mkdtemp(folder.data()) == nullptr)
        return {};
    const std::filesystem::path root = folder.data();
    std::ofstream(root / "services.json") << "{\"CmxService\": \"running\"}\n";
    return root;
}

// Waits until the card simulator `pid` has published its card on `root`, for up to `limit` of
// real time: false when it has not by then, or when it ended first. Its owner still reaps it.
inline bool waitForCardSimulator(const std::filesystem::path& root, pid_t pid,
                                 std::chrono::milliseconds limit) {
    bool ended = false;
    const bool published = waitUntil(
        [&] {
            siginfo_t info = {};
            ended =
                waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid;
            return ended || std::filesystem::exists(cardDeviceFile(root));
        },
        limit);
    return published && !ended;
}

} // namespace testsupport
