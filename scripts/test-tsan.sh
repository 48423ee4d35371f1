#!/usr/bin/env bash
# Builds with the thread sanitizer and runs the tests of the threaded code: the libraries, the
# workflow, the update, the simulator and the kestrel binary end to end. The widget tests stay
# out: under the race detector the toolkit reports only races of its own.
# Usage: scripts/test-tsan.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build.sh
build=${1:-build-tsan}
shift || true
scripts/bootstrap.sh
kestrel_configure "$build" -DKESTREL_SANITIZE_THREAD=ON -DKESTREL_BUILD_BENCH=OFF "$@"
kestrel_build "$build"
export TSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/tsan.supp ${TSAN_OPTIONS:-}"
widgets='^(MainWindow|MainWindowTest|Progress|ResultDialog|WindowDispatch|PowerMonitor|Resources|ResourceFileSystem|Languages|Artwork|ExitCodes)[./]'
# umockdev's preload translates paths in buffers shared by all threads: the test that makes the
# device tree read the whole emulated system again while the testbed sends the next events
# cannot run at the race detector's pace (its own comment says more).
emulator_bound='^UdevDeviceTree\.EventsLostInTheMiddleOfAnArrivalAreReadAgainFromTheSystem$'
kestrel_ctest "$build" 300 -E "$widgets|$emulator_bound"
