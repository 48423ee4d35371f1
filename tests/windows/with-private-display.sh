#!/usr/bin/env bash
# Runs a Windows test program under wine with an X server of its own:
#   with-private-display.sh PROGRAM [ARGUMENTS...]
# Wine creates top-level windows (the hidden windows that receive WM_DEVICECHANGE) only with a
# display. Wine's desktop process binds to the display of the process that starts it, so the
# program gets a prefix of its own ("$WINEPREFIX-devices"), made when missing. A test that
# skipped itself for want of a display fails the run.
set -euo pipefail
wine=/usr/lib/wine/wine64
: "${WINEPREFIX:?WINEPREFIX names the wine prefix}"
export WINEPREFIX="$WINEPREFIX-devices" WINEDEBUG=-all
command -v Xvfb >/dev/null || { echo "FAILED: Xvfb is not installed"; exit 1; }
work="$(mktemp -d /tmp/kestrel-wine-display-XXXXXX)"
xvfb=""
cleanup() {
    # Every wine process of this prefix ends before its X server goes.
    timeout 60 /usr/lib/wine/wineserver -w 2>/dev/null || /usr/lib/wine/wineserver -k 2>/dev/null || true
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
if [ ! -d "$WINEPREFIX/drive_c" ]; then
    env -u DISPLAY "$wine" wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
fi
mkfifo "$work/display"
exec {display_pipe}<>"$work/display"
Xvfb -displayfd "$display_pipe" -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.txt" 2>&1 &
xvfb=$!
number=""
read -r -t 20 -u "$display_pipe" number || { echo "FAILED: Xvfb did not start"; cat "$work/xvfb.txt"; exit 1; }
exec {display_pipe}<&-
export DISPLAY=":$number"

status=0
"$wine" "$@" 2>&1 | tr -d '\r' | tee "$work/output.txt" || status=$?
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
if grep -q '^\[  SKIPPED \]' "$work/output.txt"; then
    echo "FAILED: tests skipped themselves although a display was given"
    exit 1
fi
exit "$status"
