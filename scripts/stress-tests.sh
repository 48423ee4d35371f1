#!/usr/bin/env bash
# Runs the whole test suite several times on a machine kept busy by two CPU hogs and prints how
# many runs failed which tests: a test that depends on the machine being idle shows up here.
# Not part of CI (it takes N times the suite).
# Usage: scripts/stress-tests.sh [runs] [build-dir] [extra cmake args...]
#   scripts/stress-tests.sh 10
#   scripts/stress-tests.sh 3 build-sanitize -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_BENCH=OFF
# Extra ctest arguments (a thread-sanitizer run's exclusions) come from STRESS_CTEST_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build.sh
runs=${1:-10}
build=${2:-build}
shift 2 || shift $# || true
scripts/bootstrap.sh
kestrel_configure "$build" "$@"
kestrel_build "$build"

hogs=()
stop_hogs() {
    for pid in "${hogs[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap stop_hogs EXIT
for _ in 1 2; do
    bash -c 'while :; do :; done' &
    hogs+=($!)
done

results="$build/stress"
rm -rf "$results"
mkdir -p "$results"
failed_runs=0
for run in $(seq 1 "$runs"); do
    started=$(date +%s)
    # shellcheck disable=SC2086
    if kestrel_ctest "$build" 600 ${STRESS_CTEST_ARGS:-} >"$results/run-$run.log" 2>&1; then
        status=passed
    else
        status=failed
        failed_runs=$((failed_runs + 1))
        cp "$build/Testing/Temporary/LastTestsFailed.log" "$results/failed-$run.txt" 2>/dev/null ||
            echo "0:(ctest itself failed; see run-$run.log)" >"$results/failed-$run.txt"
    fi
    echo "stress: run $run of $runs $status in $(($(date +%s) - started)) s"
done

echo "stress: $failed_runs of $runs runs failed (output in $results)"
if ((failed_runs > 0)); then
    # LastTestsFailed.log holds "number:name" lines.
    cat "$results"/failed-*.txt | cut -d: -f2- | sort | uniq -c | sort -rn |
        while read -r count name; do
            echo "stress: $name failed in $count of $runs runs"
        done
    exit 1
fi
