# The fixture of the end-to-end updates under wine, sourced by their scripts after they set
# `cardsim` and `service`: "CmxService" (a tiny service installed for the test) runs, and the card
# simulator (a Linux program), started by `start_simulated_card`, serves a card with older
# firmware whose ports are wine's COM5/COM6, its files in "$root". With private_display=1 the
# windows get an Xvfb server of their own with a window manager. `fail` reports the updater's
# output ("$root/updater.txt") and the service's journal; everything is removed at exit.
# WINEPREFIX names the prefix (created when missing; "-display" appended with private_display=1).
wine=/usr/lib/wine/wine64
: "${WINEPREFIX:?WINEPREFIX names the wine prefix}"
# Wine's desktop process binds to the display of the process that starts it, and every process of
# a prefix shares it: the scripts that show windows get a prefix of their own beside the others',
# so the tests without a display that run at the same time cannot take it from them.
[ -n "${private_display:-}" ] && export WINEPREFIX="$WINEPREFIX-display"
export WINEDEBUG=-all KESTREL_TIME_SCALE=0.01
readonly wine_settle_seconds=60
readonly record_key='HKLM\Software\Velmar\FirmwareUpdate\QT0880'

root="$(mktemp -d /tmp/kestrel-wine-e2e-XXXXXX)"
simulator="" updater=""
display_helpers=()
# Runs at exit, also after a failed check: no step may end it early (a killed process's `wait`
# fails), or the processes after it would outlive the test.
stop_process() {
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    # An updater that a failed check left running in the background.
    stop_process "$updater"
    stop_process "$simulator"
    "$wine" sc stop CmxService >/dev/null 2>&1 || true
    "$wine" sc delete CmxService >/dev/null 2>&1 || true
    "$wine" reg delete "$record_key" /f /reg:32 >/dev/null 2>&1 || true
    "$wine" reg delete "$record_key" /f /reg:64 >/dev/null 2>&1 || true
    if [ "${#display_helpers[@]}" -gt 0 ]; then
        # Wine's desktop process stays bound to the X server it started on: let every wine
        # process end before that server goes, so the next run starts afresh.
        timeout "$wine_settle_seconds" /usr/lib/wine/wineserver -w 2>/dev/null || true
        for helper in "${display_helpers[@]}"; do
            stop_process "$helper"
        done
    fi
    rm -rf "$root"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    echo "--- updater output"; cat "$root/updater.txt" 2>/dev/null || true
    echo "--- service journal"; cat "$root/journal.txt" 2>/dev/null || true
    exit 1
}

# Starts an Xvfb server on a free display (Xvfb writes its number into a pipe) and the window
# manager jwm on it, and exports DISPLAY. Without a display the windows cannot be shown, so the
# test fails.
start_private_display() {
    command -v Xvfb >/dev/null || fail "Xvfb is not installed"
    command -v jwm >/dev/null || fail "jwm is not installed"
    mkfifo "$root/display"
    exec {display_pipe}<>"$root/display"
    Xvfb -displayfd "$display_pipe" -screen 0 1024x768x24 -nolisten tcp >"$root/xvfb.txt" 2>&1 &
    display_helpers+=($!)
    local number=""
    read -r -t 20 -u "$display_pipe" number || fail "Xvfb did not start: $(cat "$root/xvfb.txt")"
    exec {display_pipe}<&-
    export DISPLAY=":$number"
    xwininfo -root >/dev/null 2>&1 || fail "the display $DISPLAY does not answer"
    jwm >"$root/jwm.txt" 2>&1 &
    display_helpers+=($!)
}
if [ ! -d "$WINEPREFIX/drive_c" ]; then
    # A fresh prefix: once wineboot's first start has settled, services start normally.
    # Made without a display, so that it asks nothing.
    env -u DISPLAY "$wine" wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
fi
# Tahoma, the face the windows ask for, as Windows has it: wine's own copy (fonts-wine) in the
# prefix's font folder, which wine reads (it does not read the copy's own folder).
for face in tahoma.ttf tahomabd.ttf; do
    [ -f "$WINEPREFIX/drive_c/windows/Fonts/$face" ] || cp "/usr/share/wine/fonts/$face" \
        "$WINEPREFIX/drive_c/windows/Fonts/" || fail "Tahoma is missing: install fonts-wine"
done
# The scripts that show windows set private_display=1: the display comes before any other wine
# process of the test, so wine's desktop process starts on it.
[ -n "${private_display:-}" ] && start_private_display
"$wine" reg delete "$record_key" /f /reg:32 >/dev/null 2>&1 || true
"$wine" reg delete "$record_key" /f /reg:64 >/dev/null 2>&1 || true
"$wine" sc delete CmxService >/dev/null 2>&1 || true

# "CmxService" runs before the update.
journal="$("$wine" winepath -w "$root/journal.txt" 2>/dev/null)"
service_path="$("$wine" winepath -w "$service" 2>/dev/null)"
# A service deleted a moment ago may still be marked for deletion: creating it is retried.
for _ in $(seq 50); do
    "$wine" sc create CmxService binpath= "\"$service_path\" \"$journal\"" >/dev/null 2>&1 && break
    sleep 0.1
done
for _ in $(seq 20); do
    "$wine" sc start CmxService >/dev/null 2>&1 || true
    sleep 0.5
    grep -qx running "$root/journal.txt" 2>/dev/null && break
done
grep -qx running "$root/journal.txt" || fail "CmxService did not start"

# The card runs older firmware; a script may write another state before it starts the card.
echo '{"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00", "softwareVersion": "2.1.0"}' \
    >"$root/card-state.json"

# Plugs the simulated card in (extra arguments are kestrel-cardsim options) and waits for its
# device file.
start_simulated_card() {
    "$cardsim" --root "$root" --state "$root/card-state.json" \
        --com-links "$WINEPREFIX/dosdevices" "$@" >"$root/cardsim.txt" 2>&1 &
    simulator=$!
    for _ in $(seq 100); do
        ls "$root"/devices/*.json >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    fail "the card simulator published no device"
}

# The checks after a successful update: the card runs the package's firmware and its record is in
# wine's registry where a 32-bit program reads it (WOW6432Node), not in the 64-bit view.
expect_card_flashed_and_recorded() {
    grep -q '"revision": "3.19.0"' "$root/card-state.json" || fail "the card was not flashed"
    "$wine" reg query "$record_key" /v 3.19.0 /reg:32 2>/dev/null | tr -d '\r' |
        grep -q "REG_DWORD.*0x1" || fail "no record 3.19.0=1 under $record_key for 32-bit readers"
    if "$wine" reg query "$record_key" /reg:64 >/dev/null 2>&1; then
        fail "the record is in the 64-bit view, where 32-bit readers do not find it"
    fi
}

# "CmxService" was stopped for the run and started again after it.
expect_cmxservice_restarted() {
    [ "$(tr -d '\r' <"$root/journal.txt" | paste -sd' ')" = "running stopped running" ] ||
        fail "CmxService was not stopped for the run and started after it"
}
