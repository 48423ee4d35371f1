#!/usr/bin/env bash
# kestrel-headless.exe updates a simulated card with older firmware under wine:
#   headless-under-wine.sh CARDSIM HEADLESS_EXE TINY_SERVICE_EXE
# The updater finds the card in the simulated machine's device files, flashes it through the COM
# ports, writes its record into wine's registry and stops "CmxService" for the run.
set -euo pipefail
cardsim="$1" headless="$2" service="$3"
source "$(dirname "$0")/update-fixture-under-wine.sh"
start_simulated_card

status=0
KESTREL_SIM_ROOT="$("$wine" winepath -w "$root" 2>/dev/null)" \
    timeout 240 "$wine" "$headless" >"$root/updater.txt" 2>&1 || status=$?
tr -d '\r' <"$root/updater.txt" >"$root/updater.lines"

[ "$status" -eq 0 ] || fail "the updater ended with $status"
grep -qx "result 0" "$root/updater.lines" || fail "no \"result 0\""
grep -qx "exit 0" "$root/updater.lines" || fail "no \"exit 0\""
grep -qx "progress 9 0" "$root/updater.lines" || fail "the image was not transferred"
expect_card_flashed_and_recorded
# Stopped for the run and started again after it.
expect_cmxservice_restarted
echo "kestrel-headless.exe updated the card under wine: result 0, record written, CmxService restarted"
