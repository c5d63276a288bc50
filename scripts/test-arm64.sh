#!/usr/bin/env bash
# Builds everything for Windows on ARM64 and runs the test suite under
# Debian's arm64 Wine 8.0, in an arm64 Debian root that qemu-user emulates.
# Needs root (debootstrap, chroot, mounts). The root is made once and kept in
# /var/tmp/tarnwick-arm64/root (TW_ARM64_ROOT names another); the build is in
# build-arm64/ (BUILD_DIR). Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build-arm64}
export TW_ARM64_ROOT=${TW_ARM64_ROOT:-/var/tmp/tarnwick-arm64/root}
if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/test-arm64.sh needs root (chroot and mounts)" >&2
  exit 1
fi
started=$(date +%s)

. "$root/scripts/build.sh"
build_arm64 "$build"
mkdir -p "$build"
build=$(cd "$build" && pwd)

. "$root/scripts/arm64-root.sh"
arm64_root_ready "$TW_ARM64_ROOT"
echo "== [$(($(date +%s) - started))s] built, arm64 root ready"

# Inside the root the build has its own path, so that CTest's paths hold there.
export WINEPREFIX=$build/wineprefix WINEARCH=win64 WINEDEBUG=-all
in_root() { nice chroot "$TW_ARM64_ROOT" "$@"; }
finish() {
  in_root /usr/lib/wine/wineserver -k 2>/dev/null || true
  arm64_root_umount "$TW_ARM64_ROOT"
}
trap finish EXIT
arm64_root_mount "$TW_ARM64_ROOT" "$root"
case "$build/" in "$root"/*) ;; *) arm64_root_mount "$TW_ARM64_ROOT" "$build" ;; esac

echo "== creating the test prefix $WINEPREFIX"
in_root /usr/lib/wine/wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
WINEDLLOVERRIDES="mscoree=;mshtml=" in_root /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
in_root /usr/lib/wine/wineserver -w
in_root /usr/lib/wine/wineserver -p
# As in scripts/wine-prefix.sh: Wine's background services start here, away from CTest's pipes.
in_root /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1
# Wine's arm64 prefix names the computer x86 (and says so again whenever a
# wineserver starts); ARM64 Windows says ARM64, and the package's launch
# condition reads it. Set for the life of this run's wineserver.
in_root /usr/lib/wine/wine64 reg add 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' \
  /v PROCESSOR_ARCHITECTURE /t REG_SZ /d ARM64 /f </dev/null >/dev/null 2>&1
echo "== [$(($(date +%s) - started))s] prefix ready"

status=0
nice ctest --test-dir "$build" --output-on-failure -j 2 "$@" || status=$?
echo "== [$(($(date +%s) - started))s] done"
exit $status
