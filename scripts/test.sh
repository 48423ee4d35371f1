#!/usr/bin/env bash
# Bootstraps, builds and runs every test. Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
scripts/bootstrap.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
# Most tests spend their time waiting for the card's timers: twice as many as cores run at once.
ctest --test-dir "$build" --output-on-failure -j "$((2 * $(nproc)))" --timeout 300
