#include "app/util/Log.h"

#include "gui/RunRecording.h"

#include "app/UpdateInfo.h"
#include "platform/SessionRecorder.h"

#include <KestrelVersion.h>

namespace Kestrel {

RunRecording::RunRecording(const std::string& path)
    : recorder(std::make_unique<platform::SessionRecorder>(path, kVersion)) {}

RunRecording::~RunRecording() {
    // A worker that outlived the run may still report through the serial layer.
    recorder->stop();
}

void RunRecording::start() {
    recorder->start();
    KESTREL_INFO(Log::logger("kestrel.app.main"),
                 "Recording the session into " << recorder->path());
}

std::string RunRecording::finish(int32_t result, const UpdateInfo* info, bool workersEnded) {
    if (info != nullptr) {
        const auto guard = info->lock();
        recorder->setPackageVersions(info->package.firmware.version.current(),
                                     info->package.software.version.current());
    }
    recorder->setResult(result);
    // A worker still in the libraries keeps the serial watcher; the record is copied under its
    // lock either way.
    if (workersEnded)
        recorder->stop();
    std::string problem;
    if (recorder->write(problem))
        return std::string();
    const std::string warning = "kestrel: the recording could not be written to '" +
                                recorder->path() + "' (" + problem + "); the run is not affected";
    KESTREL_WARN(Log::logger("kestrel.app.main"), warning);
    return warning;
}

} // namespace Kestrel
