#!/usr/bin/env bash
# Bootstraps, builds and runs every test. Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build.sh
build=${1:-build}
shift || true
kestrel_configure_build_test "$build" "$@"
