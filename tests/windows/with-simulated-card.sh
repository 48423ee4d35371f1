#!/usr/bin/env bash
# Runs a Windows program under wine while the card simulator serves a card whose application
# port is wine's COM5:   with-simulated-card.sh CARDSIM PROGRAM [ARGUMENTS...]
# The program learns the port from KESTREL_TEST_COM_PORT. WINEPREFIX names the prefix.
set -euo pipefail
cardsim="$1"
shift
: "${WINEPREFIX:?WINEPREFIX names the wine prefix}"
export WINEDEBUG=-all
root="$(mktemp -d /tmp/kestrel-wine-card-XXXXXX)"
"$cardsim" --root "$root" --com-links "$WINEPREFIX/dosdevices" >"$root/cardsim.txt" 2>&1 &
simulator=$!
trap 'kill "$simulator" 2>/dev/null; wait "$simulator" 2>/dev/null; rm -rf "$root"' EXIT
for _ in $(seq 100); do
    [ -e "$WINEPREFIX/dosdevices/com5" ] && ls "$root"/devices/*.json >/dev/null 2>&1 && break
    sleep 0.1
done
KESTREL_TEST_COM_PORT=COM5 /usr/lib/wine/wine64 "$@"
