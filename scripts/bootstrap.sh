#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs to build and test. Quiet and quick when everything
# is there. Named groups add what one script alone needs, so that building does not pull them:
#   fuzz     the clang toolchain and its sanitizer runtime (scripts/fuzz.sh)
#   format   clang-format (the formatting check of .ci/run)
#   package  the validators of the Debian package (scripts/check-package.sh)
#   windows  the mingw-w64 cross compiler, its binutils with windres, wine with its Tahoma font,
#            NSIS for the installer
#            and what the Windows dependency build unpacks with (scripts/windows-deps.sh,
#            scripts/test-windows.sh)
# Usage: scripts/bootstrap.sh [group...]
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libwxgtk3.2-dev liblog4cplus-dev libmxml-dev zlib1g-dev nlohmann-json3-dev
    libsystemd-dev libudev-dev gettext xvfb xauth imagemagick x11-apps jwm xdotool
    umockdev libumockdev-dev man-db groff-base python3-dbusmock dbus-daemon modemmanager
)
for group in "$@"; do
    case $group in
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    format) packages+=(clang-format) ;;
    package) packages+=(desktop-file-utils appstream lintian) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 fonts-wine dpkg-dev nsis) ;;
    *)
        echo "bootstrap: unknown group $group (fuzz, format, package, windows)" >&2
        exit 2
        ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "bootstrap: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
