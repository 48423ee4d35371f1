#!/usr/bin/env bash
# kestrel.exe under wine with its windows, driven from the keyboard as a user would, on an X
# server of its own with a window manager; each window is photographed with its frame:
#   screenshots-under-wine.sh CARDSIM KESTREL_EXE TINY_SERVICE_EXE OUTDIR
# Three runs: the welcome page before the card is plugged in and the update page of a card with
# newer firmware on a computer running on batteries (two cautions), closed with Alt+F4; a card
# with older firmware updated with Enter: the progress dialog while the image is sent and the
# success dialog; a card that is not supported: its error dialog. Each window must appear with
# its title and at least the size its layout fixes, and each run must end with its exit code.
set -euo pipefail
cardsim="$1" kestrel="$2" service="$3" out="$4"
private_display=1
source "$(dirname "$0")/update-fixture-under-wine.sh"
readonly title="Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard"
readonly log="$root/sysroot/var/log/$title.log"
readonly wait_steps=600 step_seconds=0.1 settle_seconds=1 focus_settle_seconds=0.3
# Slow enough that the progress dialog stays up while the image is sent.
export KESTREL_TIME_SCALE=0.2
readonly link_rate=200000
# The smallest client sizes the layouts fix: artwork 134 wide beside a 476-wide page and 327
# high; the progress dialog's 400-wide phase line between two 8-wide spacers.
readonly main_min_width=610 main_min_height=327 progress_min_width=416
readonly timed_out=124

mkdir -p "$out"
rm -f "$out"/*.png "$out"/*.log

# Waits until the log holds the text.
wait_for_log() {
    for _ in $(seq "$wait_steps"); do
        grep -qF "$1" "$log" 2>/dev/null && return 0
        sleep "$step_seconds"
    done
    cp "$log" "$out/failed-run.log" 2>/dev/null || true
    fail "the log never said \"$1\" (the log is in $out/failed-run.log)"
}

# Sets `found` to a visible window of kestrel.exe titled exactly as the first argument that is
# none of the windows given after it.
find_window() {
    local title_wanted="$1" window
    shift
    found=""
    for _ in $(seq "$wait_steps"); do
        for window in $(xdotool search --onlyvisible --classname '^kestrel\.exe$' 2>/dev/null); do
            [[ " $* " == *" $window "* ]] && continue
            [ "$(xdotool getwindowname "$window" 2>/dev/null)" = "$title_wanted" ] || continue
            found="$window"
        done
        [ -n "$found" ] && return 0
        sleep "$step_seconds"
    done
    fail "no window titled \"$title_wanted\" appeared"
}

# Checks the client size of a window against the smallest it may have.
check_size() {
    local window="$1" min_width="$2" min_height="$3" WIDTH=0 HEIGHT=0
    eval "$(xdotool getwindowgeometry --shell "$window" | grep -E '^(WIDTH|HEIGHT)=[0-9]+$')"
    [ "$WIDTH" -ge "$min_width" ] && [ "$HEIGHT" -ge "$min_height" ] ||
        fail "window $window is $WIDTH x $HEIGHT, smaller than $min_width x $min_height"
}

# Photographs a window with its frame once it has painted.
shoot() {
    sleep "$settle_seconds"
    import -frame -window "$1" "$out/$2" 2>>"$root/import.txt" || fail "no screenshot of $2"
    echo "screenshot $out/$2 ($(xdotool getwindowname "$1"))"
}

# Gives the window the focus and presses a key, as a user would.
press() {
    xdotool windowactivate --sync "$1" >/dev/null 2>&1 || xdotool windowfocus --sync "$1"
    sleep "$focus_settle_seconds"
    xdotool key --clearmodifiers "$2"
}

start_updater() {
    local exit_file
    exit_file="$("$wine" winepath -w "$root/exit-code.txt" 2>/dev/null)"
    rm -f "$root/exit-code.txt" "$log"
    KESTREL_SIM_ROOT="$("$wine" winepath -w "$root" 2>/dev/null)" \
        timeout 240 "$wine" "$kestrel" -l -p "$exit_file" >"$root/updater.txt" 2>&1 &
    updater=$!
}

# Waits for the updater and checks its exit code and the exit-code file.
finish_updater() {
    local status=0
    wait "$updater" || status=$?
    updater=""
    [ "$status" -eq "$1" ] || fail "kestrel.exe ended with $status instead of $1"
    [ "$(cat "$root/exit-code.txt")" = "$2" ] ||
        fail "the exit-code file holds \"$(cat "$root/exit-code.txt")\" instead of \"$2\""
}

# Waits for an updater that reported a failure: it ends by itself with a failure code.
finish_failed_updater() {
    local status=0
    wait "$updater" || status=$?
    updater=""
    [ "$status" -ne 0 ] && [ "$status" -ne "$timed_out" ] ||
        fail "kestrel.exe ended with $status after reporting a failure"
    grep -qx '[1-9][0-9]*' "$root/exit-code.txt" ||
        fail "the exit-code file holds \"$(cat "$root/exit-code.txt")\" instead of an error code"
}

unplug_card() {
    stop_process "$simulator"
    simulator=""
    rm -f "$root"/devices/*.json
}

# First run: the welcome page, then a card with newer firmware on a computer running on
# batteries: the update page with two cautions; closing the window ends the program.
echo '{"revision": "3.20.0", "date": "Mar 01 2012", "time": "10:00:00", "softwareVersion": "2.1.0"}' \
    >"$root/card-state.json"
echo '{"acOnline": false, "batteryPercent": 50}' >"$root/power.json"
start_updater
wait_for_log "Application::openWindow(1"
find_window "$title"
main="$found"
check_size "$main" "$main_min_width" "$main_min_height"
shoot "$main" welcome-page.png
start_simulated_card
wait_for_log "Application::refreshWindow(2)"
wait_for_log "Application::closeWindow(5"
shoot "$main" update-page.png
grep -qF "(hints 0 5)" "$log" || fail "the cautions for older firmware and batteries are not set"
press "$main" alt+F4
wait_for_log "Dispatch event 'sigCancel'"
# Cancelling before an update leaves the error code at 0.
finish_updater 0 0
! grep -qF "Dispatch event 'sigUpdate'" "$log" || fail "closing the window started the update"
cp "$log" "$out/cautions-run.log"

# Second run: a card with older firmware on mains: the progress dialog while the image is sent,
# the success dialog; Enter ends the program.
echo '{"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00", "softwareVersion": "2.1.0"}' \
    >"$root/card-state.json"
echo '{"acOnline": true, "batteryPercent": 100}' >"$root/power.json"
unplug_card
start_simulated_card --link-rate "$link_rate"
start_updater
wait_for_log "Application::refreshWindow(2)"
find_window "$title"
main="$found"
press "$main" Return
wait_for_log "Dispatch event 'sigUpdate'"
wait_for_log "Switch to scroll bar"
find_window "" "$main"
check_size "$found" "$progress_min_width" 1
shoot "$found" progress-dialog.png
wait_for_log "Application::openWindow(4"
find_window "$title" "$main"
success="$found"
shoot "$success" success-dialog.png
press "$success" Return
finish_updater 0 0
grep -q '"revision": "3.19.0"' "$root/card-state.json" || fail "the card was not flashed"
cp "$log" "$out/success-run.log"

# Third run: an unsupported card plugged in on the welcome page gets the error dialog; Enter
# ends the program.
unplug_card
start_updater
wait_for_log "Application::openWindow(1"
find_window "$title"
main="$found"
start_simulated_card --wrong-lm-code
wait_for_log "Application::openWindow(3"
find_window "$title" "$main"
shoot "$found" error-dialog.png
press "$found" Return
finish_failed_updater
cp "$log" "$out/error-run.log"
echo "screenshots of the welcome page, the update page, the progress dialog, the success dialog" \
    "and the error dialog of kestrel.exe under wine in $out"
