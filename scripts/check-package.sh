#!/usr/bin/env bash
# CI: packages the Release tree that scripts/test.sh already built and tested, installs the
# package on this machine, updates a simulated card once with the installed /usr/bin/kestrel -q,
# validates the desktop entry, the AppStream metadata, the manual pages and the package itself
# (lintian: errors fail, warnings are listed), then removes the package again. Prints how long
# each step took. Needs root (or sudo) for apt-get.
# Usage: scripts/check-package.sh [build-dir, default build-release]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
scripts/bootstrap.sh package
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

started=$SECONDS
step() {
    echo "check-package: $1 ($((SECONDS - started)) s)"
    started=$SECONDS
}

package=$(scripts/package.sh "$build")
step "built $(basename "$package")"

installed=0
machine=$(mktemp -d /tmp/kestrel-package-XXXXXX)
cardsim_pid=""
cleanup() {
    [ -n "$cardsim_pid" ] && kill "$cardsim_pid" 2>/dev/null && wait "$cardsim_pid" 2>/dev/null
    rm -rf "$machine"
    [ "$installed" -eq 1 ] && $sudo apt-get remove -y -qq -o DPkg::Lock::Timeout=300 kestrel >/dev/null
    return 0
}
trap cleanup EXIT

$sudo apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$package" >/dev/null
installed=1
[ -x /usr/bin/kestrel ] || { echo "check-package: /usr/bin/kestrel is not installed"; exit 1; }
step "installed with apt-get"

# One update of a simulated card, as scripts/run-simulated.sh sets it up: the simulator comes
# from the build tree (it is not packaged), the updater is the installed one.
mkdir -p "$machine/devices" "$machine/out"
echo '{"CmxService": "running"}' >"$machine/services.json"
echo '{"acOnline": true, "batteryPercent": 100}' >"$machine/power.json"
export KESTREL_SIM_ROOT=$machine KESTREL_TIME_SCALE=0.2
"$build/sim/cardsim/kestrel-cardsim" --root "$machine" >"$machine/cardsim.txt" 2>&1 &
cardsim_pid=$!
for _ in $(seq 100); do
    ls "$machine"/devices/*.json >/dev/null 2>&1 && break
    sleep 0.1
done
set +e
timeout 120 /usr/bin/kestrel -q -p "$machine/out/code" --json "$machine/out/result.json"
status=$?
set -e
unset KESTREL_SIM_ROOT KESTREL_TIME_SCALE
code=$(cat "$machine/out/code" 2>/dev/null || echo none)
if [ "$status" -ne 0 ] || [ "$code" != 0 ]; then
    echo "check-package: installed kestrel -q ended with $status, result code $code"
    cat "$machine/cardsim.txt"
    exit 1
fi
grep -q '"firmwareAfter":"3.19.0"' "$machine/out/result.json" ||
    { echo "check-package: the card was not updated: $(cat "$machine/out/result.json")"; exit 1; }
step "installed kestrel -q updated a simulated card (exit 0, result 0)"

desktop-file-validate /usr/share/applications/com.velmar.kestrel.desktop
appstreamcli validate --no-net /usr/share/metainfo/com.velmar.kestrel.metainfo.xml >/dev/null
for page in kestrel kestrel-pck kestrel-nwmon; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "check-package: man $page: $warnings"; exit 1; }
done
step "desktop entry, AppStream metadata and installed manual pages are valid"

# lintian fails on errors; its warnings and notes are listed for the reader.
lintian_status=0
findings=$(lintian --fail-on error --tag-display-limit 0 "$package" 2>&1) || lintian_status=$?
findings=$(grep -v "running with root privileges" <<<"$findings" || true)
if [ -n "$findings" ]; then
    sed 's/^/  lintian: /' <<<"$findings"
else
    echo "  lintian: no errors, no warnings"
fi
[ "$lintian_status" -eq 0 ] || { echo "check-package: lintian found errors"; exit 1; }
step "lintian found no error"

$sudo apt-get remove -y -qq -o DPkg::Lock::Timeout=300 kestrel >/dev/null
installed=0
[ ! -e /usr/bin/kestrel ] || { echo "check-package: /usr/bin/kestrel is still there"; exit 1; }
step "removed with apt-get"
echo "check-package: the package builds, installs, runs, validates and removes"
