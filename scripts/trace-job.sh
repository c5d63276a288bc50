#!/usr/bin/env bash
# Counts the system calls of one small job: runs bench/job_trace.cpp under
# Wine's relay and server traces in a throwaway prefix and prints, for the
# baseline job and each monitor entry, the calls made, the native calls
# beneath them and the wineserver requests. Arguments go on to
# bench/trace_summary.py (--calls lists them by name). The raw trace is kept
# in build/job-trace.log.
#   ./scripts/trace-job.sh [--calls]
#   ./scripts/trace-job.sh compare N [OTHER.dll...]
#                                      N rounds of the baseline and the
#                                      monitor builds, interleaved job by job
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

. "$root/scripts/build.sh"
build_windows "$build" job_trace TWPortMon >/dev/null

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
wine_prefix_start "$build/trace-prefix"
if [ "${1:-}" = compare ]; then
  wine "$build/bin/job_trace.exe" "$@" </dev/null
  exit
fi
# Only the calls made by the program and the monitor, and by kernel32 and
# kernelbase on their behalf (down to ntdll), are traced.
wine reg add 'HKCU\Software\Wine\Debug' /v RelayFromInclude /t REG_SZ \
  /d 'twportmon;job_trace;kernelbase;kernel32' /f >/dev/null 2>&1
# A server started by the traced program itself traces its requests.
wineserver -k
wineserver -w
WINEDEBUG=+relay,+server wine "$build/bin/job_trace.exe" </dev/null >/dev/null 2>"$build/job-trace.log" || true
wineserver -k
wineserver -w
python3 "$root/bench/trace_summary.py" "$build/job-trace.log" "$@"
