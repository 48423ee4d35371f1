#include "platform/FolderWatcher.h"

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

uint32_t inotifyMask(uint32_t events) {
    uint32_t mask = 0;
    if ((events & FolderWatcher::kWritten) != 0)
        mask |= IN_CLOSE_WRITE;
    if ((events & FolderWatcher::kMovedIn) != 0)
        mask |= IN_MOVED_TO;
    if ((events & FolderWatcher::kMovedOut) != 0)
        mask |= IN_MOVED_FROM;
    if ((events & FolderWatcher::kDeleted) != 0)
        mask |= IN_DELETE;
    return mask;
}

std::string withError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

struct FolderWatcher::Handles {
    int inotify = -1;
    int stopEvent = -1;
    std::vector<int> watches;
};

FolderWatcher::FolderWatcher() : handles_(std::make_unique<Handles>()) {}

bool FolderWatcher::watching() const {
    return handles_->inotify >= 0;
}

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
    handles_->inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (handles_->inotify < 0)
        return fail(withError("inotify_init1"));
    for (const Folder& folder : folders) {
        const int watch =
            inotify_add_watch(handles_->inotify, folder.path.c_str(), inotifyMask(folder.events));
        if (watch < 0)
            return fail(withError("cannot watch " + folder.path));
        handles_->watches.push_back(watch);
    }
    return true;
}

bool FolderWatcher::start(Handler handler, Diagnostics diagnostics, std::string* problem) {
    if (handles_->inotify < 0 || thread_.joinable()) {
        if (problem != nullptr)
            *problem = handles_->inotify < 0 ? "no folder is watched" : "the watcher runs already";
        return false;
    }
    handles_->stopEvent = eventfd(0, EFD_CLOEXEC);
    if (handles_->stopEvent < 0) {
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
    [[maybe_unused]] const ssize_t written = write(handles_->stopEvent, &one, sizeof one);
    thread_.join();
}

void FolderWatcher::closeAll() {
    if (handles_->inotify >= 0)
        close(handles_->inotify);
    if (handles_->stopEvent >= 0)
        close(handles_->stopEvent);
    handles_->inotify = -1;
    handles_->stopEvent = -1;
    handles_->watches.clear();
}

void FolderWatcher::run() {
    pollfd waits[2] = {{handles_->inotify, POLLIN, 0}, {handles_->stopEvent, POLLIN, 0}};
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
    while ((length = read(handles_->inotify, buffer.data(), buffer.size())) > 0) {
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                batch.overflow = true;
                continue;
            }
            const auto found =
                std::find(handles_->watches.begin(), handles_->watches.end(), event->wd);
            if (event->len == 0 || found == handles_->watches.end())
                continue;
            Change change;
            change.folder = static_cast<size_t>(found - handles_->watches.begin());
            change.name = event->name;
            change.directory = (event->mask & IN_ISDIR) != 0;
            change.removed = (event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0;
            batch.changes.push_back(std::move(change));
        }
    }
    return batch.overflow || !batch.changes.empty();
}

} // namespace platform
