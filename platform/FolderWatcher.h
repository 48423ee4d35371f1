#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace platform {

// Watches folders of the simulated machine on a thread of its own (inotify on Linux,
// ReadDirectoryChangesW on Windows) and hands each batch of changes to a handler. The watches are
// set up first and the thread started after, so that a caller can read what is there in between
// without missing a change.
class FolderWatcher {
public:
    // A file (or folder) named in one event; `folder` is its folder's index in watch().
    struct Change {
        size_t folder = 0;
        std::string name;
        bool directory = false;
        // The name left the folder (deleted or moved out); a later change may bring it back.
        bool removed = false;
    };
    // What one wake-up of the thread read. After an overflow events were lost: anything in the
    // watched folders may have changed.
    struct Batch {
        bool overflow = false;
        std::vector<Change> changes;
    };
    // What a folder's watch reports, in any combination.
    static constexpr uint32_t kWritten = 0x1;  // a file written and closed
    static constexpr uint32_t kMovedIn = 0x2;  // renamed into the folder
    static constexpr uint32_t kMovedOut = 0x4; // renamed out of the folder
    static constexpr uint32_t kDeleted = 0x8;
    struct Folder {
        std::string path;
        uint32_t events; // FolderWatcher::kWritten | ...
    };
    using Handler = std::function<void(const Batch&)>;
    using Diagnostics = std::function<void(const std::string&)>;

    FolderWatcher();
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // Sets up a watch for each folder; false, with `problem` saying why, when any fails.
    bool watch(const std::vector<Folder>& folders, std::string* problem = nullptr);

    // Starts the thread that calls `handler` for every batch; `diagnostics` hears why the
    // thread stopped early. False when there is nothing to watch or no stop event.
    bool start(Handler handler, Diagnostics diagnostics = {}, std::string* problem = nullptr);

    // Wakes the thread and waits for it; the handler is not called after this returns.
    void stop();

    bool watching() const;

private:
    // The system's handles of the watches and of the stop event.
    struct Handles;

    void run();
    bool readBatch(Batch& batch);
    void closeAll();

    std::unique_ptr<Handles> handles_;
    Handler handler_;
    Diagnostics diagnostics_;
    std::thread thread_;
};

} // namespace platform
