#!/usr/bin/env bash
# The test command: installs what is missing, builds, starts a display and a
# Wine server, runs every test with CTest, and stops what it started.
# Arguments go to ctest (for example -R Module or -L fault).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QVPUSH_BUILD:-$root/build}

# Said first, in one line: why root, and whether this run has it.
why="its Dovecot chowns the mail folder to nobody and runs mail as uid nobody, the read-only-file tests use chattr +i, and the network-fault tests need network namespaces"
if [ "$(id -u)" -ne 0 ]; then
    echo "test.sh: needs root, and runs as uid $(id -u): $why. Run it as root (sudo $0)." >&2
    exit 1
fi
echo "test.sh: runs as root, which it needs: $why"

"$root/scripts/setup.sh"
source "$root/scripts/arch.sh"
if [ "$(qvpush_arch)" = x86_64 ]; then
    echo "test.sh: this kernel runs no 32-bit programs (its 32-bit loader fails with \"Exec format error\"): the tests run a 64-bit build of the same sources under 64-bit Wine, and the 32-bit qvpush.dll is built but not run"
fi
QVPUSH_BUILD=$build "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
# The immutable flag that a read-only-file test sets on its file stays when
# the test is killed half-way (by its time-out, say), and then not even root
# can delete the file, nor the build folder.
release_immutable_files() {
    local users=$build/wineprefix/drive_c/users
    if [ -d "$users" ]; then
        find "$users" -path '*/Temp/*' -type f -exec chattr -i {} + 2>/dev/null || true
    fi
}
cleanup() {
    # ctest stops the tests' Dovecot itself, unless it was interrupted.
    bash "$root/tests/dovecot/stop.sh" "$build/dovecot" || true
    release_immutable_files
    wine_env_stop
}
trap cleanup EXIT
release_immutable_files
wine_env_start "$build"

in_japanese_locale ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
