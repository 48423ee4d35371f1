#pragma once

#include "platform/DeviceTree.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace udevtest {

// Counts the "device nodes changed" events a tree sends: each udev event the tree takes in
// ends in one, so a test can wait until the backend has read what it sent (umockdev drops the
// test when more than a few events wait unread in the socket).
class TreeEvents {
public:
    explicit TreeEvents(std::shared_ptr<platform::DeviceTree> tree) : tree_(std::move(tree)) {
        id_ = tree_->subscribe({{}, false, true}, [this](const platform::DeviceTreeChange&) {
            std::lock_guard<std::mutex> guard(mutex_);
            ++count_;
            changed_.notify_all();
        });
    }
    ~TreeEvents() { tree_->unsubscribe(id_); }
    TreeEvents(const TreeEvents&) = delete;
    TreeEvents& operator=(const TreeEvents&) = delete;

    size_t count() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return count_;
    }
    // Waits until more than `seen` events have come; false after a generous bound.
    bool waitBeyond(size_t seen) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return count_ > seen; });
    }

private:
    static constexpr std::chrono::seconds kWait{10};
    std::shared_ptr<platform::DeviceTree> tree_;
    uint64_t id_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    size_t count_ = 0;
};

} // namespace udevtest
