#!/usr/bin/env bash
# kestrel-headless on the SetupAPI device tree updates a simulated card with older firmware:
#   headless-on-setupapi-under-wine.sh CARDSIM HEADLESS_ON_SETUPAPI_EXE TINY_SERVICE_EXE
# The card is found through the real SetupAPI backend (its calls served from the card
# simulator's device files, WM_DEVICECHANGE to its hidden window) and flashed through wine's COM
# ports. Hidden windows need a display under wine: the fixture gives one.
set -euo pipefail
cardsim="$1" headless="$2" service="$3"
private_display=1
source "$(dirname "$0")/update-fixture-under-wine.sh"
start_simulated_card

status=0
KESTREL_SIM_ROOT="$("$wine" winepath -w "$root" 2>/dev/null)" \
    timeout 240 "$wine" "$headless" >"$root/updater.txt" 2>&1 || status=$?
tr -d '\r' <"$root/updater.txt" >"$root/updater.lines"

grep -q "^setupapi-machine: SetupAPI device tree over " "$root/updater.lines" ||
    fail "the updater did not run on the SetupAPI device tree"
[ "$status" -eq 0 ] || fail "the updater ended with $status"
grep -qx "result 0" "$root/updater.lines" || fail "no \"result 0\""
grep -qx "exit 0" "$root/updater.lines" || fail "no \"exit 0\""
grep -qx "progress 9 0" "$root/updater.lines" || fail "the image was not transferred"
expect_card_flashed_and_recorded
expect_cmxservice_restarted
echo "the SetupAPI device tree found the card under wine: result 0, record written, CmxService restarted"
