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
host_pid= imap_pid= imap_dir=
stop_all() {
    if [ -n "$host_pid" ]; then
        kill "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    if [ -n "$imap_pid" ]; then
        kill "$imap_pid" 2>/dev/null || true
        wait "$imap_pid" 2>/dev/null || true
    fi
    [ -z "$imap_dir" ] || rm -rf "$imap_dir"
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

# A small IMAP server on a free loopback port that takes the account's
# login and holds it in IDLE, so that the dialog's status line shows a
# watcher at work. It writes its port, and a mark once IDLE has begun.
imap_dir=$(mktemp -d)
python3 - "$imap_dir" <<'PY' &
import os, socket, sys
folder = sys.argv[1]
server = socket.socket()
try:
    server.bind(("127.0.0.1", 143))  # the usual port, for the picture, when it is free
except OSError:
    server.bind(("127.0.0.1", 0))
server.listen(4)
open(os.path.join(folder, "port.new"), "w").write(str(server.getsockname()[1]))
os.rename(os.path.join(folder, "port.new"), os.path.join(folder, "port"))
while True:
    client, _ = server.accept()
    client.sendall(b"* OK [CAPABILITY IMAP4rev1 IDLE] ready\r\n")
    for line in client.makefile("rb"):
        parts = line.split()
        if len(parts) < 2:
            continue
        tag, command = parts[0], parts[1].upper()
        if command == b"LOGIN":
            client.sendall(tag + b" OK [CAPABILITY IMAP4rev1 IDLE] logged in\r\n")
        elif command == b"SELECT":
            client.sendall(b"* 0 EXISTS\r\n" + tag + b" OK [READ-WRITE] selected\r\n")
        elif command == b"IDLE":
            client.sendall(b"+ idling\r\n")
            open(os.path.join(folder, "idle"), "w").close()
        else:
            client.sendall(tag + b" OK done\r\n")
PY
imap_pid=$!
for _ in $(seq 100); do [ -f "$imap_dir/port" ] && break; sleep 0.1; done
[ -f "$imap_dir/port" ] || { echo "screenshot: the IMAP responder did not start" >&2; exit 1; }
imap_port=$(cat "$imap_dir/port")

# An account whose settings file fills the dialog; its watcher connects to
# the responder as soon as the folder window opens. No check for mail on
# connecting: the host's receive dialog would bring the folder window up
# over the setup dialog (there is no window manager to keep it on top).
account_dir=$WINEPREFIX/drive_c/qvpush-screenshot/account
mkdir -p "$account_dir"
printf '[imap4]\r\nuse=1\r\nserver=127.0.0.1\r\nport=%s\r\nuser=taro\r\npass=FiY2\r\nrecvAtConnected=0\r\n' \
    "$imap_port" >"$account_dir/qvpush.ini"

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
# The watcher idles before the picture is taken; the dialog shows it within
# a second.
while [ ! -f "$imap_dir/idle" ]; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$host_pid" 2>/dev/null; then
        echo "screenshot: the watcher did not reach IDLE within 60 s; $out left as it was" >&2
        exit 1
    fi
    sleep 0.25
done
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
