#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct UpdateInfo;

namespace platform {
class SessionRecorder;
}

namespace Kestrel {

// The recording of a run's session with the card that `--record FILE` asks for: started before
// the workflow touches the device tree or a port, written once the run has its result. A
// recording that cannot be written costs one warning, never the run.
class RunRecording {
public:
    explicit RunRecording(const std::string& path);
    ~RunRecording();
    RunRecording(const RunRecording&) = delete;
    RunRecording& operator=(const RunRecording&) = delete;

    void start();
    // Writes the file with the run's result and the package's versions from `info` (may be
    // null). Empty, or the warning that the file could not be written.
    std::string finish(int32_t result, const UpdateInfo* info, bool workersEnded);

private:
    std::unique_ptr<platform::SessionRecorder> recorder;
};

} // namespace Kestrel
