#!/usr/bin/env bash
# Runs the capture benchmark under Wine in a throwaway prefix and prints its
# figures; the last line reads "large_ratio=R small_ratio=R".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

. "$root/scripts/build.sh"
build_windows "$build" capture_bench TWPortMon >/dev/null

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
wine_prefix_start "$build/bench-prefix"
wine "$build/bin/capture_bench.exe"
