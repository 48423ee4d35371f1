#!/usr/bin/env bash
# Builds the Debian package from a build tree: configures it for the prefix /usr (the programs,
# the polkit policy and the package agree on /usr/bin/kestrel), brings it up to date, which
# rebuilds nothing in a tree that is already built, and runs cpack. Prints the package's path.
# Usage: scripts/package.sh [build-dir, default build-release]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
[ -f "$build/CMakeCache.txt" ] || { echo "package: $build is not a configured build tree" >&2; exit 1; }
if ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt"; then
    echo "package: $build is not a Release build" >&2
    exit 1
fi
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -f "$build"/kestrel_*.deb
log=$(cd "$build" && cpack -G DEB 2>&1) || { echo "$log" >&2; exit 1; }
package=$(ls "$build"/kestrel_*.deb)
echo "$PWD/$package"
