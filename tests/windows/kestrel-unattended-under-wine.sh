#!/usr/bin/env bash
# kestrel.exe updates a simulated card with older firmware under wine without its windows, as an
# installer runs it ("-q -p FILE"):
#   kestrel-unattended-under-wine.sh CARDSIM KESTREL_EXE TINY_SERVICE_EXE
# The process ends with exit category 0, the exit-code file holds "0" and a line feed (written
# as bytes, so no carriage return), the card is flashed, its record is in wine's registry and
# "CmxService" was stopped for the run.
set -euo pipefail
cardsim="$1" kestrel="$2" service="$3"
source "$(dirname "$0")/update-fixture-under-wine.sh"
start_simulated_card

exit_file="$("$wine" winepath -w "$root/exit-code.txt" 2>/dev/null)"
status=0
KESTREL_SIM_ROOT="$("$wine" winepath -w "$root" 2>/dev/null)" \
    timeout 240 "$wine" "$kestrel" -q -p "$exit_file" >"$root/updater.txt" 2>&1 || status=$?

[ "$status" -eq 0 ] || fail "kestrel.exe ended with $status"
[ "$(od -An -c "$root/exit-code.txt" | tr -d ' ')" = '0\n' ] ||
    fail "the exit-code file holds \"$(cat -A "$root/exit-code.txt")\" instead of 0 and a line feed"
expect_card_flashed_and_recorded
# Stopped for the run and started again after it.
expect_cmxservice_restarted
echo "kestrel.exe -q updated the card under wine: exit 0, exit-code file \"0\", record written," \
    "CmxService restarted"
