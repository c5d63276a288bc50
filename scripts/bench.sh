#!/usr/bin/env bash
# Runs the capture benchmark under Wine in a throwaway prefix and prints its
# figures; the last line reads "large_ratio=R small_ratio=R".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target capture_bench TWPortMon >/dev/null

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
wine_prefix_start "$build/bench-prefix"
wine "$build/bin/capture_bench.exe"
