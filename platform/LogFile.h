#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The program's log file, written as root: opened without following a link, refused when it is
// not a regular file of the process's user with a single name, and only ever appended to, so a
// second run never wipes the log of a running or failed one. When it has grown past its size
// limit it becomes PATH.1 (replacing the one before) and a new file begins: the previous run's
// log survives a retry. Any thread; calls are serialised by the caller.
namespace platform {

class LogFile {
public:
    LogFile(std::string path, uint64_t rotateBytes);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends `text`, opening the file first when needed; false when it cannot be opened or
    // written (problem() says why).
    bool append(const std::string& text);
    void close();
    const std::string& problem() const { return problem_; }
    const std::string& path() const { return path_; }

    // The name the previous file takes when the log rotates.
    static std::string previousName(const std::string& path);

private:
    bool open();
    void rotate();

    std::string path_;
    uint64_t rotateBytes_;
    uint64_t size_ = 0;
    std::string problem_;
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

} // namespace platform
