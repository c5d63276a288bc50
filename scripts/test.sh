#!/usr/bin/env bash
# Builds everything for 64-bit Windows and runs the whole test suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

. "$root/scripts/build.sh"
build_windows "$build"

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
echo "== creating the test prefix $build/wineprefix"
wine_prefix_start "$build/wineprefix"

ctest --test-dir "$build" --output-on-failure -j 2 "$@"
