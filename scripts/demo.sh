#!/usr/bin/env bash
# A tour of the whole system in a throwaway Wine prefix: the installer package
# installs the virtual printer as a deployment tool would, a document printed
# to TARNWICK-PRINTER becomes a job for the editor and starts it, status and
# diag report on the installation, and removing the package takes it all away
# but the captured jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

heading() { printf '\n=== %s\n' "$*"; }
say() { printf '%s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

heading "1. Installing what is missing and building"
. "$root/scripts/build.sh"
build_windows "$build" msi_package twspool stand_in_editor staged_wtsapi32 >/dev/null
msi=TarnwickPrinter-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")-x64.msi
say "built TWSetup.exe and TWPortMon.dll for 64-bit Windows in $build/bin, and the package $build/$msi"

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
heading "2. A fresh Windows (a Wine prefix in $build/demo-prefix)"
wine_prefix_start "$build/demo-prefix"
drive=$WINEPREFIX/drive_c
cp "$build/$msi" "$drive/"
say "The package an administrator deploys: C:\\$msi"
folder=$drive/Program\ Files/TARNWICK-PRINTER
mkdir -p "$folder"
cp "$build/bin/TARNWICK-PRINTER.exe" "$folder/"
say "The editor, installed by its own setup, in C:\\Program Files\\TARNWICK-PRINTER:"
ls -l "$folder" | tail -n +2
say "(TARNWICK-PRINTER.exe here is a stand-in for the editor: it records how it"
say " was started in launches.txt beside itself and lists the jobs it would take.)"

heading "3. What Wine lacks and a real Windows has"
say "Wine ships no ntprint.inf: the driver name \"Microsoft PS Class Driver\" is"
say "registered on Wine's own PostScript driver instead."
run wine "$build/bin/twspool.exe" add-driver "Microsoft PS Class Driver"
say "Wine has no logged-on user sessions: a stand-in wtsapi32.dll reports one"
say "active session for the printing user (WINEDLLOVERRIDES=wtsapi32=n)."
cp "$build/bin/staged/wtsapi32.dll" "$drive/windows/system32/wtsapi32.dll"
export WINEDLLOVERRIDES="wtsapi32=n"

setup() { run wine 'C:\Program Files\TARNWICK-PRINTER\TWSetup.exe' "$@"; }

heading "4. Installing the package quietly"
say "(On Windows TWSetup.exe install runs without a console; Wine shows its output.)"
run wine msiexec /i "C:\\$msi" /qn
say "msiexec exited with 0. The installed folder:"
ls -l "$folder" | tail -n +2

heading "5. A user prints a document to TARNWICK-PRINTER"
sample="$build/demo-sample.ps"
cat > "$sample" <<'PS'
%!PS-Adobe-3.0
%%Title: TARNWICK-PRINTER demo page
/Helvetica findfont 24 scalefont setfont
72 720 moveto (Hello from the TARNWICK-PRINTER demo) show
showpage
%%EOF
PS
run wine "$build/bin/twspool.exe" print TARNWICK-PRINTER "$(winepath -w "$sample")" "Demo page"

data=$drive/ProgramData/TarnwickPrinter
heading "6. The job in C:\\ProgramData\\TarnwickPrinter\\Spool"
ls -l "$data/Spool" | tail -n +2
prn=$(ls "$data/Spool"/*.prn | head -n 1)
base=${prn%.prn}
if cmp -s "$prn" "$sample"; then
  say "$(basename "$prn") holds exactly the $(stat -c %s "$sample") bytes that were printed."
else
  say "$(basename "$prn") differs from the printed document!" >&2
  exit 1
fi
say ""
say "The descriptor $(basename "$base").json:"
cat "$base.json"
say "The marker $(basename "$base").ready: \"$(cat "$base.ready")\" ($(stat -c %s "$base.ready") bytes) - the job is the editor's now."

heading "7. The editor was started in the user's session"
for _ in $(seq 1 100); do [ -s "$folder/launches.txt" ] && break; sleep 0.1; done
cat "$folder/launches.txt"

heading "8. Status and diagnostics"
setup status
setup diag

heading "9. Removing the package"
run wine msiexec /x "C:\\$msi" /qn
say "msiexec exited with 0. Left in C:\\Program Files\\TARNWICK-PRINTER, the editor's own files:"
ls -l "$folder" | tail -n +2
say ""
say "The captured job stays in the data folder:"
ls -l "$data/Spool" | tail -n +2
