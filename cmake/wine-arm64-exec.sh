#!/bin/sh
# Runs a Windows ARM64 program under Debian's arm64 Wine inside the emulated
# arm64 root of scripts/test-arm64.sh, which mounts the build at the same path
# there, sets WINEPREFIX and keeps one wineserver alive for the run.
: "${TW_ARM64_ROOT:?TW_ARM64_ROOT must name the arm64 root (see scripts/test-arm64.sh)}"
: "${WINEPREFIX:?WINEPREFIX must name the test prefix (see scripts/test-arm64.sh)}"
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
exec chroot "$TW_ARM64_ROOT" /bin/sh -c 'cd "$0" && exec /usr/lib/wine/wine64 "$@"' "$PWD" "$@"
