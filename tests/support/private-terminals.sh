#!/bin/sh
# Runs a test program with pseudo-terminals of its own: a private mount namespace with a new
# devpts instance on /dev/pts. The kernel hands a freed terminal number to the next opener, so a
# process still retrying its card's old port name could otherwise open, and lock, the card of a
# test running beside it; with a numbering of its own per test, tests run side by side.
# Where namespaces are not available (not root), tests that open terminals take turns instead,
# through a lock file in the build folder. Usage: private-terminals.sh LOCK-FILE PROGRAM [ARGS...]
lock=$1
shift
if unshare --mount --propagation private true 2>/dev/null; then
    exec unshare --mount --propagation private -- /bin/sh -c '
        mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts /dev/pts || exit 125
        if [ ! -L /dev/ptmx ]; then mount --bind /dev/pts/ptmx /dev/ptmx || exit 125; fi
        exec "$@"' sh "$@"
fi
exec flock "$lock" "$@"
