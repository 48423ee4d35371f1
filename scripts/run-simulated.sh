#!/usr/bin/env bash
# Builds Kestrel and updates a simulated card with it: kestrel-cardsim plays the card in a
# temporary simulated machine, kestrel runs in the GUI when there is a display (click "Update"),
# otherwise unattended (-u) on a private Xvfb server. Prints the progress and the result, and
# leaves the log and a screenshot of the update page in build/run-simulated/.
#
# Environment: KESTREL_TIME_SCALE (default 1 with a display, 0.2 without), CARDSIM_OPTIONS
# (extra kestrel-cardsim options, e.g. "--wrong-lm-code"), CARDSIM_STATE (the card's firmware
# state file; by default the simulator's, one release behind the package), KESTREL_BUILD_DIR (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build.sh
build=${KESTREL_BUILD_DIR:-build}
scripts/bootstrap.sh
kestrel_configure "$build"
kestrel_build "$build" --target kestrel kestrel-cardsim
kestrel=$build/gui/kestrel
cardsim=$build/sim/cardsim/kestrel-cardsim
title="Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard"

out=$build/run-simulated
mkdir -p "$out"
rm -f "$out/kestrel.log" "$out/update-page.png" "$out/exit-code.txt"
machine=$(mktemp -d /tmp/kestrel-simulated-XXXXXX)
mkdir -p "$machine/devices"
echo '{"CmxService": "running"}' >"$machine/services.json"
echo '{"acOnline": true, "batteryPercent": 100}' >"$machine/power.json"
export KESTREL_SIM_ROOT=$machine
log="$machine/sysroot/var/log/$title.log"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -f "$log" ] && cp "$log" "$out/kestrel.log"
    rm -rf "$machine"
}
trap cleanup EXIT

mode=(-u)
# Own display: the whole screen, trimmed to the windows; a desktop: the main window only.
grab="import -window root png:- | convert png:- -trim +repage"
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    mode=()
    grab="import -window \"$title\""
    export KESTREL_TIME_SCALE=${KESTREL_TIME_SCALE:-1}
    echo "run-simulated: showing Kestrel on $DISPLAY; click \"Update\" to update the card"
else
    export KESTREL_TIME_SCALE=${KESTREL_TIME_SCALE:-0.2}
    # Xvfb picks a free display and writes its number into the pipe.
    mkfifo "$machine/display"
    exec 3<>"$machine/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    read -r -u 3 number
    export DISPLAY=:$number
    echo "run-simulated: no display; running Kestrel unattended on Xvfb $DISPLAY"
fi
echo "run-simulated: simulated machine $machine, time scale $KESTREL_TIME_SCALE"

# The simulator's card runs the release before the embedded package's, so the update flashes it;
# CARDSIM_STATE names another firmware state file.
state=()
[ -n "${CARDSIM_STATE:-}" ] && state=(--state "$CARDSIM_STATE")
# shellcheck disable=SC2086
"$cardsim" --root "$machine" "${state[@]}" ${CARDSIM_OPTIONS:-} >"$out/cardsim.txt" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    ls "$machine"/devices/*.json >/dev/null 2>&1 && break
    sleep 0.1
done

# Progress as the log tells it: windows, progress notifications, and the versions shown.
follow() {
    tail --pid=$$ -s 0.2 -n +1 -F "$log" 2>/dev/null | awk -v shot="$out/update-page.png" -v grab="$grab" '
        # The update page under the progress dialog of the update, once both are painted.
        /Handling event \(ctetProgress/ && updatePage && !taken {
            taken = 1
            system("sleep 0.5; " grab " \"" shot "\" 2>/dev/null &")
        }
        /Handling event \(ctetProgress/ {
            code = $0; sub(/.*ctetProgress /, "", code); split(code, part, /[ )]/)
            names[2] = "preparing update"; names[4] = "preparing update"
            names[5] = "sending preloader"; names[6] = "starting preloader"
            names[7] = "checking boot block"; names[8] = "sending boot code"
            names[9] = "sending firmware"; names[10] = "completing update"
            names[12] = "resetting device"; names[15] = "getting device information"
            names[16] = "device information read"; names[18] = "reading firmware version"
            if (part[1] == 3) { print "  end of update, result " part[2]; fflush(); next }
            if (part[1] == 13 || part[1] == 14) { blocks[part[1]]++; next }
            if (part[1] in names) { print "  " names[part[1]]; fflush() }
        }
        /Application::openWindow\(/ {
            w = $0; sub(/.*openWindow\(/, "", w); sub(/,.*/, "", w)
            label[1] = "welcome page"; label[2] = "update page"; label[3] = "error dialog"
            label[4] = "success dialog"; label[5] = "progress dialog"
            print "window: " label[w]; fflush()
            if (w == 2) updatePage = 1
        }
        /Refresh using \(/ { sub(/.*Refresh using /, ""); print "  shows " $0; fflush() }'
}
follow &
pids+=($!)

set +e
"$kestrel" "${mode[@]}" -l -p "$machine/out/exit-code.txt"
status=$?
set -e
# Let the follower print the last lines of the log before the summary.
sleep 1.5
code=$(cat "$machine/out/exit-code.txt" 2>/dev/null || echo "none")
cp "$machine/out/exit-code.txt" "$out/exit-code.txt" 2>/dev/null || true
echo "run-simulated: kestrel exit code $status, result code $code"
if [ -f "$machine/sysroot/var/lib/kestrel/registry.txt" ]; then
    echo "run-simulated: registry record:"
    sed 's/^/  /' "$machine/sysroot/var/lib/kestrel/registry.txt"
fi
echo "run-simulated: log $out/kestrel.log"
[ -f "$out/update-page.png" ] && echo "run-simulated: screenshot $out/update-page.png"
exit "$status"
