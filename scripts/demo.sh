#!/usr/bin/env bash
# The main job, end to end, in a throwaway Wine prefix: the port monitor is
# registered with the spooler, a queue is put on its port, a document is
# printed, and the captured job, its descriptor and marker, the editor's
# launch and the monitor's log are shown.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

heading() { printf '\n=== %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

heading "Installing what is missing and building"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target TWPortMon TWSetup twspool stand_in_editor staged_wtsapi32 >/dev/null
echo "built $build/bin/TWPortMon.dll and $build/bin/TWSetup.exe"

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
heading "A fresh Wine prefix: $build/demo-prefix"
wine_prefix_start "$build/demo-prefix"
bin=$(winepath -w "$build/bin")
twspool() { run wine "$build/bin/twspool.exe" "$@"; }

heading "Registering the monitor with the spooler (copied into system32, AddMonitorW)"
twspool install-monitor "$bin\\TWPortMon.dll"

heading "A queue TARNWICK-PRINTER on the port TARNWICK:"
echo "(Wine ships no ntprint.inf, so the driver name is primed on Wine's PostScript driver)"
twspool add-driver "Microsoft PS Class Driver"
twspool add-queue TARNWICK-PRINTER TARNWICK: "Microsoft PS Class Driver"

heading "Editor settings: the stand-in editor TARNWICK-PRINTER.exe beside TWSetup.exe"
run wine "$build/bin/TWSetup.exe" autolaunch
rm -f "$build/bin/launches.txt"

heading "Staging a logged-on user"
echo "Wine has no Terminal Services sessions, so this demo puts a stand-in"
echo "wtsapi32.dll into the prefix that reports one active session for the"
echo "printing user, and selects it with WINEDLLOVERRIDES=wtsapi32=n."
cp "$build/bin/staged/wtsapi32.dll" "$WINEPREFIX/drive_c/windows/system32/wtsapi32.dll"
export WINEDLLOVERRIDES="wtsapi32=n"

heading "Printing a sample document through the spooler"
sample="$build/demo-sample.ps"
cat > "$sample" <<'PS'
%!PS-Adobe-3.0
%%Title: TARNWICK-PRINTER demo page
/Helvetica findfont 24 scalefont setfont
72 720 moveto (Hello from the TARNWICK-PRINTER demo) show
showpage
%%EOF
PS
twspool print TARNWICK-PRINTER "$(winepath -w "$sample")" "Demo page"

data="$WINEPREFIX/drive_c/ProgramData/TarnwickPrinter"
heading "The spool folder C:\\ProgramData\\TarnwickPrinter\\Spool"
ls -l "$data/Spool"
prn=$(ls "$data/Spool"/*.prn | head -n 1)
if cmp -s "$prn" "$sample"; then
  echo "$(basename "$prn") holds exactly the $(stat -c %s "$sample") bytes that were printed."
else
  echo "$(basename "$prn") differs from the printed document!" >&2
  exit 1
fi

base=${prn%.prn}
heading "The job's descriptor $(basename "$base").json"
cat "$base.json"
heading "The ready marker $(basename "$base").ready"
printf '%s (%s bytes)\n' "$(cat "$base.ready")" "$(stat -c %s "$base.ready")"

heading "The editor's launch, as the stand-in recorded it in launches.txt"
for _ in $(seq 1 100); do [ -s "$build/bin/launches.txt" ] && break; sleep 0.1; done
cat "$build/bin/launches.txt"

heading "The monitor's log C:\\ProgramData\\TarnwickPrinter\\portmon.log"
cat "$data/portmon.log"
