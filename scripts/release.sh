#!/usr/bin/env bash
# Builds the release of both machines in one go: the x64 deliverables and
# package in build/ (mingw-w64), the ARM64 ones in build-arm64/ (zig), and
# build/TarnwickPrinter-<version>.zip holding both. No tests run here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. "$root/scripts/build.sh"
build_arm64 "$root/build-arm64" TWSetup TWPortMon msi_package
build_windows "$root/build" TWSetup TWPortMon msi_package
cmake -S "$root" -B "$root/build" -DTW_ARM64_BUILD_DIR="$root/build-arm64" >/dev/null
status=0
cmake --build "$root/build" -j 2 --target package || status=$?
# build/ goes back to an x64 build of its own, as the other scripts expect it.
cmake -S "$root" -B "$root/build" -DTW_ARM64_BUILD_DIR= >/dev/null
[ $status -eq 0 ] || exit $status
ls -l "$root"/build/TarnwickPrinter-*.zip "$root"/build/TarnwickPrinter-*.msi "$root"/build-arm64/TarnwickPrinter-*.msi
