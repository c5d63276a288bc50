#!/bin/sh
# Runs a Windows program under Wine in the build's private prefix.
# scripts/test.sh sets WINEPREFIX and keeps one wineserver alive for the run.
: "${WINEPREFIX:?WINEPREFIX must name the test prefix (see scripts/test.sh)}"
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
