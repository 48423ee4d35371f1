#!/usr/bin/env bash
# A failed update through the installer: the simulated card reports a wrong LM code, so
# kestrel.exe ends with result code 258, exit code 2:
#   installer-failed-update-under-wine.sh CARDSIM INSTALLER TINY_SERVICE_EXE
# The installer, run silently with /UPDATE into a folder chosen with /D=, ends with the updater's exit code 2, its report names
# exit code 2 and result code 258, and the card keeps its firmware.
set -euo pipefail
cardsim="$1" installer="$2" service="$3"
source "$(dirname "$0")/installer-fixture-under-wine.sh"
start_simulated_card --wrong-lm-code

# A folder of its own, given as NSIS wants it: last and unquoted, blanks and all.
install_folder "$root/Velmar Kestrel"
run_installer "/S /UPDATE /D=$instdir_windows"
[ "$status" -eq 2 ] || fail "the installer ended with $status instead of the updater's 2"
[ -f "$instdir/kestrel.exe" ] || fail "kestrel.exe is not installed in $instdir"
report_says "Exit code" 2 || fail "the report does not name exit code 2"
report_says "Result code" 258 || fail "the report does not name result code 258"
grep -q '"revision": "3.18.2"' "$root/card-state.json" || fail "the card's firmware changed"
echo "kestrel-setup /S /UPDATE with a card of a wrong LM code under wine: exit 2," \
    "report \"2\" and \"258\""
