#!/usr/bin/env bash
# Builds the Windows tree with mingw-w64 and runs its tests under wine:
#   scripts/test-windows.sh [BUILD_DIR] [cmake options...]   (default BUILD_DIR: build-windows)
# The libraries it needs come from scripts/windows-deps.sh (cached in KESTREL_WINDOWS_DEPS_CACHE,
# default ~/.cache/kestrel-windows-deps). Wine's prefix lives inside the build folder, and the
# card simulator comes from the Linux build in build/ (KESTREL_HOST_BUILD_DIR to change it).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build.sh
build="${1:-build-windows}"
shift || true
root="$(pwd)"

scripts/bootstrap.sh windows
deps="$(scripts/windows-deps.sh "${KESTREL_WINDOWS_DEPS_CACHE:-${HOME}/.cache/kestrel-windows-deps}")"

export PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig"
export PKG_CONFIG_SYSROOT_DIR=/
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
kestrel_configure_shown "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DKESTREL_WINDOWS_DEPS="$deps" \
    -DwxWidgets_CONFIG_EXECUTABLE="$deps/bin/wx-config" -DKESTREL_BUILD_BENCH=OFF \
    -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 "${launcher[@]}" "$@"
kestrel_build "$build"

# Wine's prefix lives in the build folder; a fresh one is made once and left to settle.
export WINEPREFIX="$(realpath "$build")/wine-prefix" WINEDEBUG=-all
if [ ! -d "$WINEPREFIX/drive_c" ]; then
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
fi
# Two runs of the Windows tests on one machine take turns: they use the machine's pseudo-terminals.
(
    flock 9
    KESTREL_CTEST_JOBS=2 kestrel_ctest "$build" 300
) 9>>/tmp/kestrel-ctest.lock
