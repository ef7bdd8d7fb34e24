#!/usr/bin/env bash
# The network vanishes under an idle watcher, in a private network namespace:
#   network_vanishes.sh BUILD_DIR SOURCE_DIR [KEEPALIVE_S]
#
# Dovecot, the stand-in host with qvpush.dll and a Wine server of their own
# (on a copy of the build's Wine prefix: Wine's sockets live in the Wine
# server, and one outside the namespace would use the machine's loopback)
# run inside `unshare -n`. Once the watcher is in IDLE, the namespace's
# loopback goes down: the connection is dead without a FIN or a reset, and
# only TCP keepalive can tell. The time until the watcher closes it is
# measured and checked against keepAlive + 9 probe intervals (Linux sends 9
# probes; the interval is a sixth of keepAlive, at least 1 s), with slack.
# Then Dovecot is restarted while the link is down, so that it has forgotten
# the connection, the link comes up, and the watcher must connect again and
# announce a later mail exactly once.
#
# Exits 77 (CTest's skip) with a message where no namespace can be made.
set -euo pipefail
if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "network_vanishes: SKIPPED: making a network namespace needs root"
        exit 77
    fi
    if ! unshare -n true 2>/dev/null; then
        echo "network_vanishes: SKIPPED: this machine makes no network namespace (unshare -n failed)"
        exit 77
    fi
    exec unshare -n bash "${BASH_SOURCE[0]}" --inside "$@"
fi
shift
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
keepalive=${3:-6}
interval=$((keepalive / 6 < 1 ? 1 : keepalive / 6))
bound=$((keepalive + 9 * interval))
slack=$((bound / 5 + 5))

ip link set lo up
work=$(mktemp -d /tmp/qvpush-vanish.XXXXXX)
chmod 0755 "$work"
hostlog=$work/host.log
host_pid=
say() { echo "network_vanishes: $*"; }
fail() {
    say "FAILED: $*"
    if [ -f "$hostlog" ]; then
        echo "---- the stand-in host's log (last 60 lines)"
        iconv -f CP932 -t UTF-8 "$hostlog" 2>/dev/null | tail -n 60 || tail -n 60 "$hostlog"
    fi
    exit 1
}

source "$source_dir/scripts/wine-env.sh"
cleanup() {
    if [ -n "$host_pid" ]; then
        kill "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    bash "$source_dir/tests/dovecot/stop.sh" "$work/dovecot" >/dev/null 2>&1 || true
    wine_env_stop
    rm -rf "$work"
}
trap cleanup EXIT

# The build's prefix, copied: a Wine server of this prefix's own serves the
# namespace. wine_env_start makes the rest (display, server, desktop).
cp -a "$build/wineprefix" "$work/wineprefix"
rm -f "$work/wineprefix/.update-timestamp"
wine_env_start "$work"

imap=14300 control=14301 # the namespace is ours: any ports will do
control() {
    python3 - "$control" "$@" <<'PY'
import socket, sys
with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=60) as s:
    s.sendall(" ".join(sys.argv[2:]).encode() + b"\r\n")
    reply = s.makefile("rb").readline().decode().strip()
sys.exit(0 if reply.startswith("OK") else 1)
PY
}
start_dovecot() {
    bash "$source_dir/tests/dovecot/start.sh" "$work/dovecot" "$imap" "$control" >/dev/null
    control USER vanish pw-vanish || fail "could not add the user"
}
start_dovecot

mkdir -p "$work/account"
cd "$build/bin"
account=$(in_japanese_locale wine winepath.exe -w "$work/account" 2>/dev/null)\\
in_japanese_locale wine write_settings.exe "$account" 127.0.0.1 "$imap" vanish pw-vanish 1 </dev/null >/dev/null
printf 'keepAlive=%s\r\n' "$keepalive" >>"$work/account/qvpush.ini"

# Three dismissals: the check on connecting, the one after the reconnect,
# and the later mail.
in_japanese_locale wine standin_host.exe --account "$account" --until-dismissed 3 --timeout-s $((bound + slack + 200)) \
    </dev/null >"$hostlog" 2>&1 &
host_pid=$!

count() { grep -c -F -- "$1" "$hostlog" || true; }
# Waits until the log holds more than `before` lines with the text.
wait_for_more() { # text before seconds
    local deadline=$((SECONDS + $3))
    until [ "$(count "$1")" -gt "$2" ]; do
        [ $SECONDS -lt $deadline ] || fail "gave up waiting for \"$1\" after $3 s"
        kill -0 "$host_pid" 2>/dev/null || fail "the stand-in host ended while waiting for \"$1\""
        sleep 0.05
    done
}
now_ms() { date +%s%3N; }

wait_for_more "[01]IDLE mode" 0 60
wait_for_more "receive dialog OK pressed" 0 30
grep -qF "[01]KeepAlive($((keepalive * 1000)),$((interval * 1000)))" "$hostlog" ||
    fail "no keepalive of ${keepalive} s and ${interval} s set on the connection"

closes=$(count "[01]CloseSocket")
down=$(now_ms)
ip link set lo down
say "loopback down mid-IDLE (keepAlive $keepalive s, interval $interval s: at most $bound s expected, $slack s slack)"
wait_for_more "[01]CloseSocket" "$closes" $((bound + slack + 30))
found=$(now_ms)
elapsed=$((found - down))
why=$(grep -F "[01]" "$hostlog" | grep -B2 -F "[01]CloseSocket" | tail -n 3 | head -n 2 | sed 's/.*trace //' | paste -sd ' ')
say "dead link found after $elapsed ms (by: $why)"
[ "$elapsed" -ge $(((keepalive - 1) * 1000)) ] || fail "found after $elapsed ms, before the keepalive idle time of $keepalive s: not by keepalive"
[ "$elapsed" -le $(((bound + slack) * 1000)) ] || fail "found after $elapsed ms, later than keepAlive + 9 x interval = $bound s with $slack s slack"

# The server forgets the connection while the link is down: Dovecot (the
# control service's child, in a process group of its own) is killed, and
# started again by the control service, with its users, once the link is up.
state=$(cat "$work/dovecot/state-folder")
master=$(pgrep -P "$(cat "$state/control.pid")" -x dovecot) || fail "no Dovecot master found"
kill -KILL -- "-$master"
ip link set lo up
control START || fail "Dovecot did not start again"
idles=$(count "[01]IDLE mode")
up=$(now_ms)
wait_for_more "[01]IDLE mode" "$idles" 60
say "back in IDLE $(( $(now_ms) - up )) ms after the link and the server came back"
wait_for_more "receive dialog OK pressed" 1 30

sends=$(count "lParam=1000")
control DELIVER vanish later-mail || fail "could not deliver"
wait_for_more "receive dialog OK pressed" 2 30
wait "$host_pid" || fail "the stand-in host failed"
host_pid=
[ "$(count "lParam=1000")" -eq $((sends + 1)) ] || fail "the later mail was announced $(( $(count "lParam=1000") - sends )) times"
[ "$(count "Connect failed")" -eq 0 ] || fail "a connect-failed box after IDLE had been reached"
say "PASSED: dead link found in $elapsed ms (bound $bound s); reconnected; the later mail announced once"
