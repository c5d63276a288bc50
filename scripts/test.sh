#!/usr/bin/env bash
# Builds everything for 64-bit Windows and runs the whole test suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j 2

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
echo "== creating the test prefix $build/wineprefix"
wine_prefix_start "$build/wineprefix"

ctest --test-dir "$build" --output-on-failure -j 2 "$@"
