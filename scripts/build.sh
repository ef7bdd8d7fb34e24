#!/usr/bin/env bash
# Configures and builds everything into build/ with the MinGW-w64 toolchain
# (32-bit, or 64-bit where this machine cannot run 32-bit programs: arch.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QVPUSH_BUILD:-$root/build}
source "$root/scripts/arch.sh"
toolchain=$root/cmake/mingw-$(qvpush_arch).cmake
# A build folder configured for the other architecture starts afresh.
if [ -f "$build/CMakeCache.txt" ] &&
    ! grep -qx "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ "$(qvpush_arch)" != i686 ]; then
    # The product is the 32-bit DLL: it is built in any case, here beside the
    # 64-bit test build.
    cmake -S "$root" -B "$build/dll32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
    cmake --build "$build/dll32" -j"$(nproc)" --target qvpush_stamp
fi
