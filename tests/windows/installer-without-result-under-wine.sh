#!/usr/bin/env bash
# An update through the installer that leaves no result: a folder stands where kestrel.exe would
# create its exit-code file, so it cannot start up and ends with -1, outside the exit categories:
#   installer-without-result-under-wine.sh CARDSIM INSTALLER TINY_SERVICE_EXE
# The installer, run silently with /UPDATE, ends with exit code 1 (a failure that "if errorlevel
# 1" sees), and its report names no result code and the missing exit-code file.
set -euo pipefail
cardsim="$1" installer="$2" service="$3"
source "$(dirname "$0")/installer-fixture-under-wine.sh"
start_simulated_card

install_folder "$root/Kestrel"
mkdir -p "$instdir/update-exit-code.txt"
run_installer "/S /UPDATE /D=$instdir_windows"
[ "$status" -eq 1 ] || fail "the installer ended with $status instead of 1"
report_says "Result code" none || fail "the report names a result code"
tr -d '\r' <"$report" | grep -q '^Outcome: the exit-code file .* is missing' ||
    fail "the report does not name the missing exit-code file"
grep -q '"revision": "3.18.2"' "$root/card-state.json" || fail "the card's firmware changed"
echo "kestrel-setup /S /UPDATE without a result under wine: exit 1, report \"none\", missing file"
