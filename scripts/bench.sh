#!/usr/bin/env bash
# Runs the capture benchmark under Wine in a throwaway prefix and prints its
# figures; the last line reads "large_ratio=R small_ratio=R".
#   ./scripts/bench.sh                  the monitor built here (build/bin/TWPortMon.dll)
#   ./scripts/bench.sh OTHER.dll        another x64 build of the monitor, say an
#                                       earlier commit's, against the same baseline
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

. "$root/scripts/build.sh"
build_windows "$build" capture_bench TWPortMon >/dev/null

monitor=${1:-$build/bin/TWPortMon.dll}
if [ ! -f "$monitor" ]; then
  echo "no monitor DLL at $monitor" >&2
  exit 2
fi
monitor=$(cd "$(dirname "$monitor")" && pwd)/$(basename "$monitor")
echo "== measuring $monitor (sha256 $(sha256sum "$monitor" | cut -d' ' -f1))"

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
wine_prefix_start "$build/bench-prefix"
wine "$build/bin/capture_bench.exe" "$(winepath -w "$monitor")"
