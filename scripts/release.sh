#!/usr/bin/env bash
# Builds the release of both machines in one go: the x64 deliverables and
# package in build/ (mingw-w64), the ARM64 ones in build-arm64/ (zig), and
# build/TarnwickPrinter-<version>.zip holding both. No tests run here.
# Signed when the environment names a certificate (see cmake/sign.cmake):
#   TW_SIGN_PKCS12=signer.p12 TW_SIGN_PASSWORD_FILE=password [TW_SIGN_TIMESTAMP_URL=http://...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if [ -n "${TW_SIGN_PKCS12:-}" ] || [ -n "${TW_SIGN_PASSWORD_FILE:-}" ]; then
  for file in "${TW_SIGN_PKCS12:-}" "${TW_SIGN_PASSWORD_FILE:-}"; do
    if [ ! -r "$file" ]; then
      echo "Signing needs both TW_SIGN_PKCS12 and TW_SIGN_PASSWORD_FILE, readable files: '$file' is not" >&2
      exit 1
    fi
  done
  echo "== signing with $TW_SIGN_PKCS12${TW_SIGN_TIMESTAMP_URL:+, time stamps from $TW_SIGN_TIMESTAMP_URL}"
else
  echo "== unsigned: set TW_SIGN_PKCS12 and TW_SIGN_PASSWORD_FILE to sign the binaries and packages"
fi
# A release links and packs its deliverables anew, so that every file in it
# is signed (or not) as this run says.
rm -f "$root"/build/bin/TWSetup.exe "$root"/build/bin/TWPortMon.dll "$root"/build/TarnwickPrinter-*.msi \
  "$root"/build-arm64/bin/TWSetup.exe "$root"/build-arm64/bin/TWPortMon.dll "$root"/build-arm64/TarnwickPrinter-*.msi
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
