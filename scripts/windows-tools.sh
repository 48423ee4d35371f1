#!/usr/bin/env bash
# Installs the Debian packages the Windows build and its tests need (the mingw-w64 cross
# compiler, its binutils with windres, wine). Kept apart from bootstrap.sh, which stays Linux-only.
set -euo pipefail
packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 dpkg-dev xvfb xauth
    libgtest-dev libgmock-dev nlohmann-json3-dev)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "windows-tools: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
