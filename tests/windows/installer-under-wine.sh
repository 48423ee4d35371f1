#!/usr/bin/env bash
# The installer, run silently with /UPDATE as a deployment script runs it on many machines,
# installs kestrel.exe and updates a simulated card with older firmware under wine:
#   installer-under-wine.sh CARDSIM INSTALLER KESTREL_EXE TINY_SERVICE_EXE
# The installer ends with exit code 0, kestrel.exe is in its default folder in the 64-bit program
# files (a path with blanks, so the updater's command line must quote it), the card is flashed
# and recorded, "CmxService" was stopped for the run, the report in the install folder names exit
# code 0 and result code 0, and the uninstall entry and Start-menu shortcut exist. The silent
# uninstaller then removes the folder (and the emptied "Velmar"), the entry and the shortcut.
set -euo pipefail
cardsim="$1" installer="$2" kestrel="$3" service="$4"
source "$(dirname "$0")/installer-fixture-under-wine.sh"
start_simulated_card

run_installer "/S /UPDATE"
[ "$status" -eq 0 ] || fail "the installer ended with $status"
cmp -s "$kestrel" "$instdir/kestrel.exe" || fail "kestrel.exe is not installed in $instdir"
expect_card_flashed_and_recorded
expect_cmxservice_restarted
report_says "Exit code" 0 || fail "the report does not name exit code 0"
report_says "Result code" 0 || fail "the report does not name result code 0"
"$wine" reg query "$uninstall_key" /v UninstallString 2>/dev/null | tr -d '\r' |
    grep -qF "\"$instdir_windows\\uninstall.exe\"" || fail "no uninstall entry for $instdir_windows"
[ -f "$shortcut" ] || fail "no Start-menu shortcut $shortcut"

# An NSIS uninstaller copies itself to a temporary folder, starts the copy with "_?=FOLDER" and
# returns at once; the test does the same itself, so that it waits for the copy's end and sees
# its exit code.
cp "$instdir/uninstall.exe" "$root/uninstall-copy.exe"
run_command_line \
    "\"$("$wine" winepath -w "$root/uninstall-copy.exe" 2>/dev/null)\" /S _?=$instdir_windows"
[ "$status" -eq 0 ] || fail "the uninstaller ended with $status"
[ ! -e "$instdir" ] || fail "the uninstaller left $(ls -A "$instdir" | paste -sd' ') in $instdir"
[ ! -e "$(dirname "$instdir")" ] || fail "the uninstaller left the empty folder Velmar"
! "$wine" reg query "$uninstall_key" >/dev/null 2>&1 || fail "the uninstall entry is still there"
[ ! -e "$shortcut" ] || fail "the Start-menu shortcut is still there"
echo "kestrel-setup /S /UPDATE installed kestrel.exe and updated the card under wine: exit 0," \
    "report \"0\" and \"0\", uninstall entry and shortcut; the uninstaller removed them"
