#!/usr/bin/env bash
# The test command: installs what is missing, builds, starts a display and a
# Wine server, runs every test with CTest, and stops what it started.
# Arguments go to ctest (for example -R Module or -L fault).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QVPUSH_BUILD:-$root/build}

"$root/scripts/setup.sh"
QVPUSH_BUILD=$build "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$build"

ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
