#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace udeve2e {

// The command that runs `program` with this machine's system folders replaced by those below
// `root` (var/log, var/lib, run/kestrel) in a private mount namespace: its log, registry store
// and lock folder are the caller's while every path in it stays the real one. It runs in a
// network namespace of its own too, whose datagram sockets queue 512 messages: umockdev's uevent
// socket is one, and a kernel's netlink socket holds far more than the default 10, so a slow
// (sanitized) updater must not make umockdev's sender give up. Its buses are filesystem sockets,
// which every namespace reaches.
inline std::vector<std::string> withPrivateSystemFolders(const std::filesystem::path& root,
                                                         const std::filesystem::path& program,
                                                         const std::vector<std::string>& options) {
    static const char* const script = "set -e; root=$1; shift; mkdir -p /run/kestrel; "
                                      "echo 512 > /proc/sys/net/unix/max_dgram_qlen; "
                                      "mount --bind \"$root/var/log\" /var/log; "
                                      "mount --bind \"$root/var/lib\" /var/lib; "
                                      "mount --bind \"$root/run/kestrel\" /run/kestrel; "
                                      "exec \"$@\"";
    std::vector<std::string> words{
        "/usr/bin/unshare", "--mount",       "--net", "--", "/bin/sh", "-c", script, "sh",
        root.string(),      program.string()};
    words.insert(words.end(), options.begin(), options.end());
    return words;
}

// The folders that command binds, created below `root`.
inline void createPrivateSystemFolders(const std::filesystem::path& root) {
    for (const char* folder : {"var/log", "var/lib/kestrel", "run/kestrel"})
        std::filesystem::create_directories(root / folder);
}

} // namespace udeve2e
