#!/usr/bin/env bash
# kestrel.exe updates a simulated card with older firmware under wine with its windows, answering
# them itself ("-u -p FILE"), on an X server of its own:
#   kestrel-unattended-windows-under-wine.sh CARDSIM KESTREL_EXE TINY_SERVICE_EXE
# The process ends with exit category 0, the exit-code file holds "0" and a line feed, the card is
# flashed, its record is in wine's registry, "CmxService" was stopped for the run, and the main
# window appeared on the display, titled with the application name.
set -euo pipefail
cardsim="$1" kestrel="$2" service="$3"
private_display=1
source "$(dirname "$0")/update-fixture-under-wine.sh"
start_simulated_card
readonly title="Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard"
readonly poll_seconds=0.2

exit_file="$("$wine" winepath -w "$root/exit-code.txt" 2>/dev/null)"
KESTREL_SIM_ROOT="$("$wine" winepath -w "$root" 2>/dev/null)" \
    timeout 240 "$wine" "$kestrel" -u -l -p "$exit_file" >"$root/updater.txt" 2>&1 &
updater=$!
# The windows' titles as the X server saw them while the updater ran.
while kill -0 "$updater" 2>/dev/null; do
    for window in $(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null); do
        xdotool getwindowname "$window" >>"$root/titles.txt" 2>/dev/null || true
    done
    sleep "$poll_seconds"
done
status=0
wait "$updater" || status=$?
log="$root/sysroot/var/log/$title.log"

[ "$status" -eq 0 ] || fail "kestrel.exe ended with $status"
[ "$(od -An -c "$root/exit-code.txt" | tr -d ' ')" = '0\n' ] ||
    fail "the exit-code file holds \"$(cat -A "$root/exit-code.txt")\" instead of 0 and a line feed"
expect_card_flashed_and_recorded
expect_cmxservice_restarted
grep -q "Execution mode is execUnattended" "$log" || fail "not run unattended: $(head -c 2000 "$log")"
# The update page and the progress dialog of the update were opened.
grep -q "Application::openWindow(2" "$log" || fail "the update page was not opened"
grep -q "Application::openWindow(5, 2, 9)" "$log" || fail "no progress dialog for the update"
grep -qxF "$title" "$root/titles.txt" 2>/dev/null || fail "no window titled \"$title\" appeared"
echo "kestrel.exe -u updated the card under wine with its windows on $DISPLAY: exit 0," \
    "exit-code file \"0\", record written, CmxService restarted"
