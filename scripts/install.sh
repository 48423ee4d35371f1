#!/usr/bin/env bash
# Builds Kestrel's Debian package and installs it: installs the Debian packages the build needs,
# builds the programs in build-package/ (Release, without tests), packages them and installs the
# package with apt-get, which also installs what it depends on.
set -euo pipefail
cd "$(dirname "$0")/.."
build="build-package"
scripts/bootstrap.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
package=$(scripts/package.sh "$build")
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -o DPkg::Lock::Timeout=300 "$package"
echo "install: Kestrel $(kestrel --version | awk '{print $NF}') is installed: run kestrel, read man kestrel"
