#!/usr/bin/env bash
# Peak memory of an unattended update without a display: kestrel -q updates a simulated card
# with DISPLAY unset, measured by GNU time. Prints the maximum resident set size in kB and
# fails when it exceeds the limit (default 40 MB).
#
# Usage: bench/quiet-memory.sh [kestrel binary] [kestrel-cardsim binary]
# Environment: KESTREL_BUILD_DIR (default build), KESTREL_TIME_SCALE (default 0.2),
# QUIET_MEMORY_LIMIT_KB (default 40960).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KESTREL_BUILD_DIR:-build}
kestrel=${1:-$build/gui/kestrel}
cardsim=${2:-$build/sim/cardsim/kestrel-cardsim}
limit=${QUIET_MEMORY_LIMIT_KB:-40960}

machine=$(mktemp -d /tmp/kestrel-memory-XXXXXX)
cardsim_pid=
cleanup() {
    [ -n "$cardsim_pid" ] && kill "$cardsim_pid" 2>/dev/null && wait "$cardsim_pid" 2>/dev/null
    rm -rf "$machine"
}
trap cleanup EXIT
mkdir -p "$machine/devices"
echo '{"CmxService": "running"}' >"$machine/services.json"
echo '{"acOnline": true, "batteryPercent": 100}' >"$machine/power.json"
export KESTREL_SIM_ROOT=$machine KESTREL_TIME_SCALE=${KESTREL_TIME_SCALE:-0.2}

"$cardsim" --root "$machine" >"$machine/cardsim.txt" 2>&1 &
cardsim_pid=$!
for _ in $(seq 200); do [ -f "$machine/devices/cardsim.json" ] && break; sleep 0.05; done

status=0
env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/time -v -o "$machine/time.txt" \
    "$kestrel" -q -p "$machine/code.txt" >"$machine/kestrel.txt" 2>&1 || status=$?
peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$machine/time.txt")
echo "quiet-memory: exit $status, result $(cat "$machine/code.txt" 2>/dev/null || echo none)," \
    "peak resident set ${peak} kB (limit ${limit} kB)"
[ "$status" -eq 0 ] || { cat "$machine/kestrel.txt"; exit 1; }
[ "$peak" -le "$limit" ]
