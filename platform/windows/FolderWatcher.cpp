#include "platform/FolderWatcher.h"

#include "platform/WideText.h"

#include <windows.h>

namespace platform {
namespace {

constexpr DWORD kNotificationBufferSize = 64 * 1024;
constexpr DWORD kNotifyFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

// Whether a change of this kind is one that the folder's watch asked for.
bool wanted(DWORD action, uint32_t events) {
    switch (action) {
    case FILE_ACTION_ADDED:
        return (events & (FolderWatcher::kWritten | FolderWatcher::kMovedIn)) != 0;
    case FILE_ACTION_MODIFIED:
        return (events & FolderWatcher::kWritten) != 0;
    case FILE_ACTION_RENAMED_NEW_NAME:
        return (events & FolderWatcher::kMovedIn) != 0;
    case FILE_ACTION_RENAMED_OLD_NAME:
        return (events & FolderWatcher::kMovedOut) != 0;
    case FILE_ACTION_REMOVED:
        return (events & (FolderWatcher::kDeleted | FolderWatcher::kMovedOut)) != 0;
    default:
        return false;
    }
}

// One watched folder: its handle, its pending request and the buffer the request fills.
struct WatchedFolder {
    std::wstring path;
    uint32_t events = 0;
    HANDLE folder = INVALID_HANDLE_VALUE;
    HANDLE completed = nullptr;
    OVERLAPPED request{};
    std::vector<DWORD> buffer = std::vector<DWORD>(kNotificationBufferSize / sizeof(DWORD));

    bool issue() {
        request = OVERLAPPED{};
        request.hEvent = completed;
        return ReadDirectoryChangesW(folder, buffer.data(),
                                     static_cast<DWORD>(buffer.size() * sizeof(DWORD)), FALSE,
                                     kNotifyFilter, nullptr, &request, nullptr) != 0;
    }
};

std::string withError(const std::string& what) {
    return what + ": error " + std::to_string(GetLastError());
}

} // namespace

struct FolderWatcher::Handles {
    std::vector<WatchedFolder> folders;
    HANDLE stopEvent = nullptr;
};

FolderWatcher::FolderWatcher() : handles_(std::make_unique<Handles>()) {}

FolderWatcher::~FolderWatcher() {
    stop();
    closeAll();
}

bool FolderWatcher::watching() const {
    return !handles_->folders.empty();
}

bool FolderWatcher::watch(const std::vector<Folder>& folders, std::string* problem) {
    auto fail = [&](const std::string& why) {
        if (problem != nullptr)
            *problem = why;
        closeAll();
        return false;
    };
    closeAll();
    // Every folder's request is pending before this returns: changes from now on are kept.
    handles_->folders.resize(folders.size());
    for (size_t index = 0; index < folders.size(); ++index) {
        WatchedFolder& watched = handles_->folders[index];
        watched.path = wideFromUtf8(folders[index].path);
        watched.events = folders[index].events;
        watched.folder =
            CreateFileW(watched.path.c_str(), FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        if (watched.folder == INVALID_HANDLE_VALUE)
            return fail(withError("cannot watch " + folders[index].path));
        watched.completed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (watched.completed == nullptr || !watched.issue())
            return fail(withError("cannot watch " + folders[index].path));
    }
    return !handles_->folders.empty() || fail("no folder is watched");
}

bool FolderWatcher::start(Handler handler, Diagnostics diagnostics, std::string* problem) {
    if (handles_->folders.empty() || thread_.joinable()) {
        if (problem != nullptr)
            *problem =
                handles_->folders.empty() ? "no folder is watched" : "the watcher runs already";
        return false;
    }
    handles_->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handles_->stopEvent == nullptr) {
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
    SetEvent(handles_->stopEvent);
    thread_.join();
}

void FolderWatcher::closeAll() {
    for (WatchedFolder& watched : handles_->folders) {
        if (watched.folder != INVALID_HANDLE_VALUE) {
            // The pending request writes into the buffer until it is cancelled and done.
            DWORD transferred = 0;
            if (CancelIoEx(watched.folder, &watched.request))
                GetOverlappedResult(watched.folder, &watched.request, &transferred, TRUE);
            CloseHandle(watched.folder);
        }
        if (watched.completed != nullptr)
            CloseHandle(watched.completed);
    }
    handles_->folders.clear();
    if (handles_->stopEvent != nullptr)
        CloseHandle(handles_->stopEvent);
    handles_->stopEvent = nullptr;
}

void FolderWatcher::run() {
    std::vector<HANDLE> waits{handles_->stopEvent};
    for (const WatchedFolder& watched : handles_->folders)
        waits.push_back(watched.completed);
    for (;;) {
        const DWORD woken =
            WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0)
            return;
        if (woken == WAIT_FAILED) {
            if (diagnostics_)
                diagnostics_(withError("watcher stopped"));
            return;
        }
        Batch batch;
        if (readBatch(batch))
            handler_(batch);
    }
}

// Takes the results of every completed request and issues it again; true when there is
// anything to hand on.
bool FolderWatcher::readBatch(Batch& batch) {
    for (size_t index = 0; index < handles_->folders.size(); ++index) {
        WatchedFolder& watched = handles_->folders[index];
        DWORD length = 0;
        if (!GetOverlappedResult(watched.folder, &watched.request, &length, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE)
                continue;
            batch.overflow = true;
        } else if (length == 0) {
            // The system's own buffer overflowed: the changes since the last request are lost.
            batch.overflow = true;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(watched.buffer.data());
        for (DWORD offset = 0; length != 0;) {
            const auto* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(bytes + offset);
            if (wanted(entry->Action, watched.events)) {
                Change change;
                change.folder = index;
                const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
                change.name = utf8FromWide(name);
                const DWORD attributes = GetFileAttributesW((watched.path + L"\\" + name).c_str());
                change.directory = attributes != INVALID_FILE_ATTRIBUTES &&
                                   (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                change.removed = entry->Action == FILE_ACTION_REMOVED ||
                                 entry->Action == FILE_ACTION_RENAMED_OLD_NAME;
                batch.changes.push_back(std::move(change));
            }
            if (entry->NextEntryOffset == 0)
                break;
            offset += entry->NextEntryOffset;
        }
        ResetEvent(watched.completed);
        if (!watched.issue())
            batch.overflow = true;
    }
    return batch.overflow || !batch.changes.empty();
}

} // namespace platform
