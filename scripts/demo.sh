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
# An English note on what the step showed, set apart from the programs' output.
note() { printf '  > %s\n' "$@"; }
# Prints a command so that it can be pasted into a shell as it stands, then runs it.
quoted() {
  local word out=""
  for word in "$@"; do
    if [[ $word =~ ^[A-Za-z0-9_./:=,+-]+$ ]]; then out+=" $word"; else out+=" '${word//\'/\'\\\'\'}'"; fi
  done
  printf '%s' "${out# }"
}
run() { printf '$ %s\n' "$(quoted "$@")"; "$@"; }

heading "1. Installing what is missing and building"
say "Building TWSetup.exe, TWPortMon.dll and the installer package with mingw-w64"
say "(a few minutes the first time; the build's output goes to $build/demo-build.log)."
. "$root/scripts/build.sh"
log=$build/demo-build.log
mkdir -p "$build"
# One progress line, rewritten as the build goes.
build_windows "$build" msi_package twspool stand_in_editor staged_wtsapi32 2>&1 | tee "$log" |
  { grep --line-buffered -o '^\[[0-9]*/[0-9]*\]' || true; } |
  while read -r step; do printf '\r  building %-12s' "$step"; done
printf '\r  built.%-20s\n' ''
msi=TarnwickPrinter-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")-x64.msi
say "Built TWSetup.exe and TWPortMon.dll for 64-bit Windows in $build/bin, and the package $build/$msi."

. "$root/scripts/wine-prefix.sh"
trap wine_prefix_stop EXIT
heading "2. A fresh Windows (a Wine prefix in $build/demo-prefix)"
wine_prefix_start "$build/demo-prefix"
say "To paste the commands below into a shell of your own: export WINEPREFIX=$WINEPREFIX"
run wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f
note "A new Wine prefix claims to be Windows 7; this one now reports Windows 10."
drive=$WINEPREFIX/drive_c
cp "$build/$msi" "$drive/"
say "The package an administrator deploys: C:\\$msi"
folder=$drive/Program\ Files/TARNWICK-PRINTER
mkdir -p "$folder"
cp "$build/bin/TARNWICK-PRINTER.exe" "$folder/"
# The stand-in holds the editor's running event this long after its start, so
# that status and diag find the editor running, as they would a real one.
echo 20000 > "$folder/hold-ms.txt"
say "The editor, installed by its own setup, in C:\\Program Files\\TARNWICK-PRINTER:"
ls -l "$folder" | tail -n +2
note "TARNWICK-PRINTER.exe here is a stand-in for the editor: it records how it was" \
     "started in launches.txt beside itself, lists the jobs it would take, and" \
     "stays running for 20 seconds (hold-ms.txt), as the real editor stays open."

heading "3. What Wine lacks and a real Windows has"
note "Wine ships no ntprint.inf: the driver name \"Microsoft PS Class Driver\" is" \
     "registered on Wine's own PostScript driver instead."
run wine "$build/bin/twspool.exe" add-driver 'Microsoft PS Class Driver'
note "Wine has no logged-on user sessions: a stand-in wtsapi32.dll reports one active" \
     "session (1) for the printing user, selected with WINEDLLOVERRIDES=wtsapi32=n."
cp "$build/bin/staged/wtsapi32.dll" "$drive/windows/system32/wtsapi32.dll"
export WINEDLLOVERRIDES="wtsapi32=n"

setup() { run wine 'C:\Program Files\TARNWICK-PRINTER\TWSetup.exe' "$@"; }

heading "4. Installing the package quietly"
run wine msiexec /i "C:\\$msi" /qn
say "msiexec exited with 0. The installed folder:"
ls -l "$folder" | tail -n +2
note "Windows runs TWSetup.exe install without a console; Wine's msiexec shows its" \
     "Japanese report above: the data folder prepared, the settings written, the" \
     "monitor copied to System32 and registered, the port, the spooler restarted," \
     "22 paper sizes, the queue TARNWICK-PRINTER, then \"完了しました。\" (done)." \
     "The same report is kept in install.log in the installed folder."

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
run wine "$build/bin/twspool.exe" print TARNWICK-PRINTER "$(winepath -w "$sample")" 'Demo page'
note "Wine's spooler numbers the job 1 for the printing program, but hands the" \
     "monitor job id 0 and no printer name (see the descriptor below)."

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
note "On Windows the descriptor carries the spooler's job id, the printer, the user" \
     "and the machine; Wine's in-process spooler passes job id 0 and no printer" \
     "name, and its GetJobW leaves the user and machine empty."

heading "7. The editor was started in the user's session"
for _ in $(seq 1 100); do [ -s "$folder/launches.txt" ] && break; sleep 0.1; done
cat "$folder/launches.txt"
grep -a '編集アプリを起動しました' "$data/portmon.log" || true
note "The monitor's log line says \"editor started (session=1)\": the session the" \
     "stand-in wtsapi32.dll reported. On Windows it is the printing user's own."

heading "8. Status and diagnostics"
setup status
setup diag
note "status: the queue, the monitor (present) and the data folder. diag: Windows" \
     "and the spooler, the DLL in System32 and the shipped one, the settings, the" \
     "queue and its jobs (Wine's spooler lists none), the spool folder's counts" \
     "and write test, whether the editor runs (the stand-in still holds its event)," \
     "and the tail of portmon.log."

heading "9. Removing the package"
run wine msiexec /x "C:\\$msi" /qn
note "TWSetup.exe uninstall ran: the queue, the settings, the monitor's registration" \
     "and its DLL are gone, and the spooler was restarted."

heading "10. What stays on the machine"
say "In C:\\Program Files\\TARNWICK-PRINTER, the editor's own files (install.log went with the package):"
ls -l "$folder" | tail -n +2
say ""
say "The data folder C:\\ProgramData\\TarnwickPrinter, with the captured job and the monitor's log:"
(cd "$data" && find . -type f -printf '%s bytes  %P\n' | sort -k3)
note "Removal keeps the data folder (jobs, portmon.log), the 22 paper forms, and a" \
     "temp folder TarnwickPrinter of LocalSystem's if a job ever fell back there."
