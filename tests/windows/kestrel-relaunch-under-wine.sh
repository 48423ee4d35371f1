#!/usr/bin/env bash
# kestrel.exe started by a plain user relaunches itself elevated and passes the elevated run's
# result on:
#   kestrel-relaunch-under-wine.sh CARDSIM KESTREL_EXE TINY_SERVICE_EXE ELEVATION_STAND_IN_EXE
# The stand-in replaces the elevation prompt (KESTREL_ELEVATION_COMMAND): it notes the command and
# runs it as administrator. The card refuses the loader's mode code, so the elevated run ends with
# result 258 and exit category 2; the relaunching process must end with the same category and leave
# the exit-code file to the elevated run.
set -euo pipefail
cardsim="$1" kestrel="$2" service="$3" stand_in="$4"
source "$(dirname "$0")/update-fixture-under-wine.sh"
start_simulated_card --wrong-lm-code

exit_file="$("$wine" winepath -w "$root/exit-code.txt" 2>/dev/null)"
kestrel_path="$("$wine" winepath -w "$kestrel" 2>/dev/null)"
status=0
KESTREL_SIM_ROOT="$("$wine" winepath -w "$root" 2>/dev/null)" KESTREL_ADMINISTRATOR=0 \
    KESTREL_ELEVATION_COMMAND="$("$wine" winepath -w "$stand_in" 2>/dev/null)" \
    timeout 240 "$wine" "$kestrel" -q -p "$exit_file" >"$root/updater.txt" 2>&1 || status=$?

[ -f "$root/elevated.txt" ] || fail "the program did not relaunch itself through the elevation command"
# The program itself by its full path, then its options with the exit-code file's full path.
expected="\"$kestrel_path\" \"-q\" \"-p\" \"$exit_file\""
[ "$(tr -d '\r\n' <"$root/elevated.txt")" = "$expected" ] ||
    fail "the elevated command was $(cat "$root/elevated.txt"), not $expected"
[ "$status" -eq 2 ] || fail "kestrel.exe ended with $status instead of the elevated run's 2"
[ "$(od -An -c "$root/exit-code.txt" | tr -d ' ')" = '258\n' ] ||
    fail "the exit-code file holds \"$(cat -A "$root/exit-code.txt")\" instead of the elevated run's 258"
[ "$(tr -d '\r' <"$root/journal.txt" | paste -sd' ')" = "running stopped running" ] ||
    fail "CmxService was not stopped by the elevated run and started after it"
echo "kestrel.exe relaunched itself elevated under wine and passed its result on: exit 2, file 258"
