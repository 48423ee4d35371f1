#!/bin/bash
# Records a whole `kestrel -q` update of every card simulator profile (a card a release behind
# the embedded package) into tests/gui/data/recordings/PROFILE.json: the regression set that the
# replay tests run, beside which real cards' recordings are kept.
#   scripts/record-profiles.sh [BUILD_DIR]   (default build)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
kestrel=$build/gui/kestrel
cardsim=$build/sim/cardsim/kestrel-cardsim
out=$source_dir/tests/gui/data/recordings
mkdir -p "$out"
older='{"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00", "softwareVersion": "2.1.0"}'
profiles=$("$cardsim" --help | sed -n 's/^profiles: //p')
for profile in $profiles; do
    machine=$(mktemp -d /tmp/kestrel-record-XXXXXX)
    mkdir -p "$machine/devices"
    echo '{"CmxService": "running"}' >"$machine/services.json"
    echo '{"acOnline": true, "batteryPercent": 100}' >"$machine/power.json"
    echo "$older" >"$machine/card-state.json"
    export KESTREL_SIM_ROOT=$machine KESTREL_TIME_SCALE=0.05 \
        KESTREL_OBJECT_NAMESPACE=$machine/objects XDG_CONFIG_HOME=$machine/config
    "$cardsim" --root "$machine" --profile "$profile" --state "$machine/card-state.json" \
        >"$machine/cardsim.txt" 2>&1 &
    card=$!
    # The card settles (a staged profile publishes its nodes one after another) before the run.
    for _ in $(seq 500); do grep -q "port: " "$machine/cardsim.txt" && break; sleep 0.01; done
    sleep 0.5
    status=0
    timeout 120 "$kestrel" -q --record "$out/$profile.json" || status=$?
    kill "$card"
    wait "$card" || true
    echo "$profile: exit $status, $(stat -c %s "$out/$profile.json") bytes"
    rm -rf "$machine"
done
