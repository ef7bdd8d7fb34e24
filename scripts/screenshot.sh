#!/usr/bin/env bash
# Renders the plug-in's setup dialog inside the stand-in host on a private
# Xvfb display, with the IPA Gothic font standing in for the dialog's
# Japanese font, and saves the dialog's window as a PNG.
#   scripts/screenshot.sh [OUTPUT.png]      (default docs/setup-dialog.png)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QVPUSH_BUILD:-$root/build}
out=$(realpath -m "${1:-$root/docs/setup-dialog.png}")
title='QV-PUSH設定(IMAP4)'

"$root/scripts/setup.sh"
QVPUSH_BUILD=$build "$root/scripts/build.sh" >/dev/null

source "$root/scripts/wine-env.sh"
host_pid=
stop_all() {
    if [ -n "$host_pid" ]; then
        kill "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    wine_env_stop
}
trap stop_all EXIT
wine_env_start "$build"

# An account whose settings file fills the dialog. Its server is the
# loopback address: the account's watcher connects as soon as `use` is on.
account_dir=$WINEPREFIX/drive_c/qvpush-screenshot/account
mkdir -p "$account_dir"
printf '[imap4]\r\nuse=1\r\nserver=127.0.0.1\r\nport=143\r\nuser=taro\r\npass=FiY2\r\nrecvAtConnected=1\r\n' \
    >"$account_dir/qvpush.ini"

cd "$build/bin"
in_japanese_locale wine standin_host.exe --account 'C:\qvpush-screenshot\account\' --setup --timeout-s 60 \
    </dev/null >/dev/null 2>&1 &
host_pid=$!

# Wine gives every top-level window an X window with the same title.
window=
for _ in $(seq 1 300); do
    window=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$title\"" | awk '{print $1}' | head -n 1 || true)
    [ -n "$window" ] && break
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "screenshot: the setup dialog did not appear" >&2
    exit 1
fi
# The window is mapped before its controls have been painted and flushed to
# the X server; there is no event for that from outside the process.
sleep 1
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "screenshot: $out"
