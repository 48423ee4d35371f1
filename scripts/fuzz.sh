#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers, coverage
# in the libraries too) and runs each one briefly from its seed corpus.
# Usage: scripts/fuzz.sh [seconds per target, default 15] [build-dir, default build-fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build.sh
seconds=${1:-15}
build=${2:-build-fuzz}
scripts/bootstrap.sh fuzz
CC=clang CXX=clang++ kestrel_configure "$build" -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_BENCH=OFF \
    -DKESTREL_BUILD_FUZZERS=ON \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -O1"

flasher_targets=(package wrappedheader atanswer script)
targets=("${flasher_targets[@]/%/_fuzzer}" card_database_fuzzer session_replay_fuzzer
    package_fuzz_seeds)
kestrel_build "$build" --target "${targets[@]}"

corpus=$(mktemp -d /tmp/kestrel-fuzz-XXXXXX)
trap 'rm -rf "$corpus"' EXIT
mkdir -p "$corpus/seeds" "$corpus/database"
"$build/fuzz/package_fuzz_seeds" --write "$corpus/seeds"
cp fuzz/corpus/* resources/CardDatabase.txt "$corpus/database/"

run() {
    local name=$1 seeds=$2
    mkdir -p "$corpus/$name"
    echo "fuzz: $name for ${seconds}s"
    "$3" -max_total_time="$seconds" -print_final_stats=1 "$corpus/$name" "$seeds" 2>"$corpus/$name.log" ||
        { tail -60 "$corpus/$name.log"; echo "fuzz: $name FAILED"; return 1; }
    grep -E "stat::number_of_executed_units" "$corpus/$name.log" || true
}

for target in "${flasher_targets[@]}"; do
    run "$target" "$corpus/seeds" "$build/fuzz/${target}_fuzzer"
done
run card_database "$corpus/database" "$build/fuzz/card_database_fuzzer"
run session_replay tests/gui/data/recordings "$build/fuzz/session_replay_fuzzer"
echo "fuzz: all targets ran without a fault"
