# The fixture of the end-to-end updates under wine, sourced by their scripts after they set
# `cardsim` and `service` (and, for a faulty card, the array `cardsim_options`): "CmxService" (a
# tiny service installed for the test) runs, and the card simulator (a Linux program) serves a
# card with older firmware whose ports are wine's COM5/COM6, its files in "$root". `fail` reports
# the updater's output ("$root/updater.txt") and the service's journal; everything is removed at
# exit. WINEPREFIX names the prefix (created when missing).
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
    --com-links "$WINEPREFIX/dosdevices" ${cardsim_options[@]+"${cardsim_options[@]}"} \
    >"$root/cardsim.txt" 2>&1 &
simulator=$!
for _ in $(seq 100); do
    ls "$root"/devices/*.json >/dev/null 2>&1 && break
    sleep 0.1
done

