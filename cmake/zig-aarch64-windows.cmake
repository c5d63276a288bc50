# Cross-compiles the Windows on ARM64 deliverables on Linux with zig 0.11
# (clang 16 with the mingw-w64 headers and CRT, libc++ linked statically),
# which scripts/deps.sh puts into .tools/. Resources are compiled by LLVM's
# windres and release files stripped by LLVM's objcopy (Debian's llvm-14).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

set(TW_ZIG ${CMAKE_CURRENT_LIST_DIR}/../.tools/zig-0.11.0/zig CACHE FILEPATH "zig 0.11")
set(TW_LLVM_BIN /usr/lib/llvm-14/bin CACHE PATH "LLVM's binary tools (llvm-windres, llvm-objcopy)")
# zig builds its C++ runtime and mingw-w64's CRT once into its cache. The cache
# is kept apart from other zig installations: scripts/deps.sh changes how
# libunwind is built, and zig would not rebuild its assembly files for that.
set(TW_ZIG_CACHE /var/tmp/tarnwick-arm64/zig-cache-1 CACHE PATH "zig's global cache for this build")
set(CMAKE_C_COMPILER /usr/bin/env ZIG_GLOBAL_CACHE_DIR=${TW_ZIG_CACHE} ${TW_ZIG} cc -target aarch64-windows-gnu)
set(CMAKE_CXX_COMPILER /usr/bin/env ZIG_GLOBAL_CACHE_DIR=${TW_ZIG_CACHE} ${TW_ZIG} c++ -target aarch64-windows-gnu)
set(CMAKE_RC_COMPILER ${TW_LLVM_BIN}/llvm-windres)
# llvm-windres preprocesses with the clang beside it (Debian's clang-14) and
# finds the Windows headers in zig's mingw-w64 tree. It reads the Japanese
# file descriptions as code page 1252 unless told, the sources' #pragma
# code_page notwithstanding.
get_filename_component(TW_ZIG_DIR ${TW_ZIG} DIRECTORY)
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 --codepage=65001 -I ${TW_ZIG_DIR}/lib/libc/include/any-windows-any")
set(CMAKE_AR ${TW_LLVM_BIN}/llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TW_LLVM_BIN}/llvm-ranlib CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${TW_LLVM_BIN}/llvm-objcopy CACHE FILEPATH "")

# zig's linker writes the debug information to a .pdb (see release.cmake), and
# zig 0.11 ignores -municode: its start-up code calls main, never wmain.
set(TW_DEBUG_INFO_PDB ON)
set(TW_NO_MUNICODE ON)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every test program runs through the arm64 Wine of scripts/test-arm64.sh.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-arm64-exec.sh)
