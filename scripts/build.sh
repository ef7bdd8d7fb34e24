#!/usr/bin/env bash
# Configures and builds everything into build/ with the MinGW-w64 toolchain.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QVPUSH_BUILD:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"
