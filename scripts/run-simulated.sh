#!/usr/bin/env bash
# Runs the updater against a simulated card in a temporary simulated machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j "$(nproc)"
if [ ! -x build/app/gui/kestrel ]; then
    echo "run-simulated: the kestrel application is not built yet; nothing to run" >&2
    exit 1
fi
