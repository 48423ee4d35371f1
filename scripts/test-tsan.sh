#!/usr/bin/env bash
# Builds with the thread sanitizer and runs the tests of the threaded code: the libraries, the
# workflow, the update, the simulator and the kestrel binary end to end. The widget tests stay
# out: under the race detector the toolkit reports only races of its own.
# Usage: scripts/test-tsan.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
shift || true
scripts/bootstrap.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE_THREAD=ON \
    -DKESTREL_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
# Every report goes to a file, also those of the programs a test starts (their standard error is
# not the test's); the files are printed at the end.
reports="$PWD/$build/tsan-reports"
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/tsan.supp log_path=$reports/report ${TSAN_OPTIONS:-}"
widgets='^(MainWindow|MainWindowTest|Progress|ResultDialog|WindowDispatch|PowerMonitor|Resources|ResourceFileSystem|Languages|Artwork|ExitCodes)[./]'
# The race detector cannot follow a process-shared mutex whose owner was killed; the other
# builds check that two-process case.
abandoned='^ExclusiveMode[.]HolderKilledWithSigkill'
# A test that fails is run once more: a race that shows only under rare timing is printed
# below and named, but does not hide the result of the others.
status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600 -E "$widgets|$abandoned" \
    --repeat until-pass:2 || status=$?
if compgen -G "$reports/report*" >/dev/null; then
    cat "$reports"/report*
    echo "tsan: the race reports above came from the runs; a test that passed on its second run had a rare race"
fi
exit "$status"
