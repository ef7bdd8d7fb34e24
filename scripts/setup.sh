#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12, and
# generates the Japanese locale. Does nothing that is already done.
set -euo pipefail

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

packages=(
    cmake g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
    googletest wine wine32:i386 xvfb xauth locales
    dovecot-imapd python3 fonts-ipafont-gothic imagemagick x11-utils
    clang libclang-rt-14-dev llvm
    libgnutls30:i386 openssl fonts-wine iproute2 util-linux
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
    need_update=1
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $SUDO apt-get update -qq
    # The Dovecot package must not start a system-wide server: the project runs
    # its own on loopback.
    $SUDO env DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [ -n "${need_update:-}" ]; then
    $SUDO apt-get update -qq
fi

if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
        $SUDO sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    elif ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
        echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    fi
    $SUDO locale-gen >/dev/null
fi

# A kernel that runs 64-bit user code only cannot start the 32-bit Wine
# loader; the suite then runs a 64-bit build under 64-bit Wine (arch.sh).
source "$(dirname "${BASH_SOURCE[0]}")/arch.sh"
if [ "$(qvpush_arch)" = x86_64 ]; then
    missing=()
    for package in wine64 g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        [ "$status" = "install ok installed" ] || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "setup: this kernel runs no 32-bit programs; installing ${missing[*]} for a 64-bit test build"
        $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
fi
