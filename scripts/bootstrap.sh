#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs. Quiet and quick when everything is there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libwxgtk3.2-dev liblog4cplus-dev libmxml-dev zlib1g-dev nlohmann-json3-dev
    libsystemd-dev libudev-dev gettext xvfb xauth imagemagick x11-apps jwm xdotool
    umockdev libumockdev-dev python3-dbusmock dbus-daemon
)

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
