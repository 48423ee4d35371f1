#include "platform/sim/FolderWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr size_t kEventBufferSize = 64 * 1024;

std::string withError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

FolderWatcher::~FolderWatcher() {
    stop();
    closeAll();
}

bool FolderWatcher::watch(const std::vector<Folder>& folders, std::string* problem) {
    auto fail = [&](const std::string& why) {
        if (problem != nullptr)
            *problem = why;
        closeAll();
        return false;
    };
    closeAll();
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0)
        return fail(withError("inotify_init1"));
    for (const Folder& folder : folders) {
        const int watch = inotify_add_watch(inotify_, folder.path.c_str(), folder.events);
        if (watch < 0)
            return fail(withError("cannot watch " + folder.path));
        watches_.push_back(watch);
    }
    return true;
}

bool FolderWatcher::start(Handler handler, Diagnostics diagnostics, std::string* problem) {
    if (inotify_ < 0 || thread_.joinable()) {
        if (problem != nullptr)
            *problem = inotify_ < 0 ? "no folder is watched" : "the watcher runs already";
        return false;
    }
    stopEvent_ = eventfd(0, EFD_CLOEXEC);
    if (stopEvent_ < 0) {
        if (problem != nullptr)
            *problem = withError("cannot create the watcher's stop event");
        closeAll();
        return false;
    }
    handler_ = std::move(handler);
    diagnostics_ = std::move(diagnostics);
    thread_ = std::thread([this] { run(); });
    return true;
}

void FolderWatcher::stop() {
    if (!thread_.joinable())
        return;
    const uint64_t one = 1;
    // An eventfd counter this small cannot overflow, so the write cannot fail.
    [[maybe_unused]] const ssize_t written = write(stopEvent_, &one, sizeof one);
    thread_.join();
}

void FolderWatcher::closeAll() {
    if (inotify_ >= 0)
        close(inotify_);
    if (stopEvent_ >= 0)
        close(stopEvent_);
    inotify_ = -1;
    stopEvent_ = -1;
    watches_.clear();
}

void FolderWatcher::run() {
    pollfd waits[2] = {{inotify_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            if (diagnostics_)
                diagnostics_(withError("watcher stopped"));
            return;
        }
        if (waits[1].revents != 0)
            return;
        Batch batch;
        if (readBatch(batch))
            handler_(batch);
    }
}

// Reads every event queued now; true when there is anything to hand on.
bool FolderWatcher::readBatch(Batch& batch) {
    std::vector<char> buffer(kEventBufferSize);
    ssize_t length;
    while ((length = read(inotify_, buffer.data(), buffer.size())) > 0) {
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                batch.overflow = true;
                continue;
            }
            const auto found = std::find(watches_.begin(), watches_.end(), event->wd);
            if (event->len == 0 || found == watches_.end())
                continue;
            Change change;
            change.folder = static_cast<size_t>(found - watches_.begin());
            change.name = event->name;
            change.directory = (event->mask & IN_ISDIR) != 0;
            batch.changes.push_back(std::move(change));
        }
    }
    return batch.overflow || !batch.changes.empty();
}

} // namespace platform
