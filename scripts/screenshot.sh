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
# Wine draws the caption's buttons with the Marlett font; without it the
# close box is a plain "r". Debian's fonts-wine has the font, but Wine looks
# for it in the prefix's own Fonts folder.
if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
fi

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

# Wine gives every top-level window an X window with the same title. The
# window is mapped before its controls are painted, and in a new prefix the
# painting reaches the X server seconds later: there is no event for it that
# can be seen from outside the process. So the dialog is captured every
# quarter second until the picture shows more than a few colours and has not
# changed for a second. It goes to a temporary file, and replaces the output
# only then.
shots=$(mktemp -d)
trap 'rm -rf "$shots"; stop_all' EXIT
deadline=$((SECONDS + 60))
previous= same=0 n=0
while [ "$same" -lt 4 ]; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$host_pid" 2>/dev/null; then
        echo "screenshot: the setup dialog was not painted within 60 s; $out left as it was" >&2
        exit 1
    fi
    sleep 0.25
    window=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$title\"" | awk '{print $1}' | head -n 1 || true)
    n=$((n + 1))
    shot=$shots/$n.png
    if [ -z "$window" ] || ! import -window "$window" "$shot" 2>/dev/null ||
        [ "$(identify -format '%k' "$shot" 2>/dev/null || echo 0)" -le 8 ]; then
        previous= same=0
        continue
    fi
    if [ -n "$previous" ] && [ "$(compare -metric AE "$previous" "$shot" null: 2>&1 || true)" = 0 ]; then
        same=$((same + 1))
    else
        same=0
    fi
    previous=$shot
done
mkdir -p "$(dirname "$out")"
cp "$shot" "$out.new"
mv -f "$out.new" "$out"
echo "screenshot: $out ($(identify -format '%wx%h, %k colours' "$out"))"
