#!/usr/bin/env bash
# Builds with the thread sanitizer and runs the tests of the threaded code: the libraries, the
# workflow, the update, the simulator and the kestrel binary end to end. The widget tests stay
# out: under the race detector the toolkit reports only races of its own. The end-to-end runs on
# the emulated udev stay out too: the instrumented updater drains its uevent socket more slowly
# than umockdev sends, and umockdev aborts the test when that socket's queue is full. The same
# updater binary runs end to end on the simulated machine here, and the udev backend's threads in
# the udev tests; the emulated-udev end-to-end runs are in the Debug and address-sanitizer stages.
# Usage: scripts/test-tsan.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
shift || true
scripts/bootstrap.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE_THREAD=ON \
    -DKESTREL_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
export TSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/tsan.supp ${TSAN_OPTIONS:-}"
widgets='^(MainWindow|MainWindowTest|Progress|ResultDialog|WindowDispatch|PowerMonitor|Resources|ResourceFileSystem|Languages|Artwork|ExitCodes)[./]'
emulatedUdevEndToEnd='^Backends/[A-Za-z]+EndToEnd\..*/udev( |$)'
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 \
    -E "$widgets|$emulatedUdevEndToEnd"
