#!/usr/bin/env bash
# kestrel-headless.exe updates a simulated card with older firmware under wine:
#   headless-under-wine.sh CARDSIM HEADLESS_EXE TINY_SERVICE_EXE
# The card simulator (a Linux program) links its ports into the prefix as COM5/COM6; the
# updater finds the card in the simulated machine's device files, flashes it through the COM
# ports, writes its record into wine's registry and stops "CmxService" (a tiny service installed
# for the test) for the run. WINEPREFIX names the prefix (created when missing).
set -euo pipefail
cardsim="$1" headless="$2" service="$3"
wine=/usr/lib/wine/wine64
: "${WINEPREFIX:?WINEPREFIX names the wine prefix}"
export WINEDEBUG=-all KESTREL_TIME_SCALE=0.01
readonly record_key='HKLM\Software\Velmar\FirmwareUpdate\QT0880'

root="$(mktemp -d /tmp/kestrel-wine-e2e-XXXXXX)"
simulator=""
cleanup() {
    [ -n "$simulator" ] && kill "$simulator" 2>/dev/null && wait "$simulator" 2>/dev/null
    "$wine" sc stop CmxService >/dev/null 2>&1 || true
    "$wine" sc delete CmxService >/dev/null 2>&1 || true
    "$wine" reg delete "$record_key" /f >/dev/null 2>&1 || true
    rm -rf "$root"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    echo "--- updater output"; cat "$root/updater.txt" 2>/dev/null || true
    echo "--- service journal"; cat "$root/journal.txt" 2>/dev/null || true
    exit 1
}

if [ ! -d "$WINEPREFIX/drive_c" ]; then
    # A fresh prefix: once wineboot's first start has settled, services start normally.
    "$wine" wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
fi
"$wine" reg delete "$record_key" /f >/dev/null 2>&1 || true
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

echo '{"revision": "3.18.2", "date": "Jan 05 2010", "time": "10:00:00", "softwareVersion": "2.1.0"}' \
    >"$root/card-state.json"
"$cardsim" --root "$root" --state "$root/card-state.json" \
    --com-links "$WINEPREFIX/dosdevices" >"$root/cardsim.txt" 2>&1 &
simulator=$!
for _ in $(seq 100); do
    ls "$root"/devices/*.json >/dev/null 2>&1 && break
    sleep 0.1
done

status=0
KESTREL_SIM_ROOT="$("$wine" winepath -w "$root" 2>/dev/null)" \
    timeout 240 "$wine" "$headless" >"$root/updater.txt" 2>&1 || status=$?
tr -d '\r' <"$root/updater.txt" >"$root/updater.lines"

[ "$status" -eq 0 ] || fail "the updater ended with $status"
grep -qx "result 0" "$root/updater.lines" || fail "no \"result 0\""
grep -qx "exit 0" "$root/updater.lines" || fail "no \"exit 0\""
grep -qx "progress 9 0" "$root/updater.lines" || fail "the image was not transferred"
grep -q '"revision": "3.19.0"' "$root/card-state.json" || fail "the card was not flashed"
"$wine" reg query "$record_key" /v 3.19.0 2>/dev/null | tr -d '\r' | grep -q "REG_DWORD.*0x1" ||
    fail "no record 3.19.0=1 under $record_key"
# Stopped for the run and started again after it.
[ "$(tr -d '\r' <"$root/journal.txt" | paste -sd' ')" = "running stopped running" ] ||
    fail "CmxService was not stopped for the run and started after it"
echo "kestrel-headless.exe updated the card under wine: result 0, record written, CmxService restarted"
