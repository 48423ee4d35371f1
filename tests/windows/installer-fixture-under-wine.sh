# The fixture of the installer's tests under wine, sourced by their scripts after they set
# `cardsim`, `installer` and `service`: the update fixture (update-fixture-under-wine.sh), with
# the install folder `instdir` (Unix path) and `instdir_windows`, by default the installer's own
# (C:\Program Files\Velmar\Kestrel); `install_folder PATH` chooses another. `run_installer ARGS`
# runs the installer with the fixture's environment and sets `status` to its exit code. At exit
# the installation in the prefix (the default folder, the uninstall entry and the Start-menu
# shortcut) is removed with the rest.
source "$(dirname "${BASH_SOURCE[0]}")/update-fixture-under-wine.sh"
readonly uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrel'
readonly shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kestrel.lnk"
# Wine's menu builder would turn the Start-menu shortcut into a menu entry of the Linux desktop.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"

readonly default_instdir="$WINEPREFIX/drive_c/Program Files/Velmar/Kestrel"

remove_installation() {
    "$wine" reg delete "$uninstall_key" /f >/dev/null 2>&1 || true
    rm -f "$shortcut"
    rm -rf "$default_instdir"
    rmdir "$(dirname "$default_instdir")" 2>/dev/null || true
}
trap 'remove_installation; cleanup' EXIT
remove_installation

install_folder() {
    instdir="$1"
    instdir_windows="$("$wine" winepath -w "$instdir" 2>/dev/null)"
    report="$instdir/update-report.txt"
}
install_folder "$default_instdir"

fail() {
    echo "FAILED: $*"
    echo "--- installer output"; cat "$root/updater.txt" 2>/dev/null || true
    echo "--- update report"; cat "$report" 2>/dev/null || true
    echo "--- service journal"; cat "$root/journal.txt" 2>/dev/null || true
    exit 1
}

# Runs the Windows command line $1 through cmd, as a deployment script does, and sets `status` to
# its exit code: NSIS reads /D= and _?= only unquoted, and wine would quote an argument with blanks.
run_command_line() {
    printf '@%s\r\n@exit /b %%ERRORLEVEL%%\r\n' "$1" >"$root/run.bat"
    status=0
    timeout 240 "$wine" cmd /c "$("$wine" winepath -w "$root/run.bat" 2>/dev/null)" \
        >>"$root/updater.txt" 2>&1 || status=$?
}

# Runs the installer with the fixture's environment and the Windows arguments $1.
run_installer() {
    KESTREL_SIM_ROOT="$("$wine" winepath -w "$root" 2>/dev/null)" \
        run_command_line "\"$("$wine" winepath -w "$installer" 2>/dev/null)\" $1"
}

# The report's line "NAME: VALUE" holds VALUE.
report_says() {
    tr -d '\r' <"$report" 2>/dev/null | grep -qx "$1: $2"
}
