#!/usr/bin/env bash
# Installs what the build and the tests need on Debian, only when something is missing.
set -euo pipefail

need=()
command -v cmake >/dev/null                      || need+=(cmake)
command -v ninja >/dev/null                      || need+=(ninja-build)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-objdump >/dev/null || need+=(binutils-mingw-w64-x86-64)
command -v wine >/dev/null                       || need+=(wine wine64)
[ -f /usr/src/googletest/CMakeLists.txt ]        || need+=(googletest)
command -v wixl >/dev/null                       || need+=(wixl)
command -v msibuild >/dev/null                   || need+=(msitools)

if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi
