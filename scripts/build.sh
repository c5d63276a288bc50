# Sourced by the scripts: installs what is missing, then configures and builds
# the project for 64-bit Windows: x64 with mingw-w64, ARM64 with zig.
#   build_windows BUILD_DIR [TARGET...]   (no target: everything)
#   build_arm64 BUILD_DIR [TARGET...]
build_windows() {
  local build=$1
  shift
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  "$root/scripts/deps.sh"
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
  if [ $# -gt 0 ]; then
    cmake --build "$build" -j 2 --target "$@"
  else
    cmake --build "$build" -j 2
  fi
}

build_arm64() {
  local build=$1
  shift
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  "$root/scripts/deps.sh" arm64
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-aarch64-windows.cmake" -DCMAKE_BUILD_TYPE=Release
  if [ $# -gt 0 ]; then
    nice cmake --build "$build" -j 2 --target "$@"
  else
    nice cmake --build "$build" -j 2
  fi
}
