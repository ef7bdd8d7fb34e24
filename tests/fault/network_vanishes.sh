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
# the connection, the link comes up, and the watcher must connect again.
# Then, before keepalive has found anything, the server's side of the
# connection is destroyed while the link is down: the first probe meets a
# reset. At the end a later mail must be announced exactly once.
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
# Without one yet, wine_env_start makes a prefix of its own (slower).
if [ -d "$build/wineprefix" ]; then
    cp -a "$build/wineprefix" "$work/wineprefix"
    rm -f "$work/wineprefix/.update-timestamp"
fi
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

# Four dismissals: the check on connecting, the one after each of the two
# reconnects, and the later mail.
in_japanese_locale wine standin_host.exe --account "$account" --until-dismissed 4 --timeout-s $((bound + slack + 200)) \
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
restart_dovecot_while_down() {
    local state master
    state=$(cat "$work/dovecot/state-folder")
    master=$(pgrep -P "$(cat "$state/control.pid")" -x dovecot) || fail "no Dovecot master found"
    ip link set lo down
    kill -KILL -- "-$master"
    ip link set lo up
    control START || fail "Dovecot did not start again"
}
idles=$(count "[01]IDLE mode")
restart_dovecot_while_down
up=$(now_ms)
wait_for_more "[01]IDLE mode" "$idles" 60
idle_again=$(now_ms)
say "back in IDLE $((idle_again - up)) ms after the link and the server came back"
wait_for_more "receive dialog OK pressed" 1 30

# Once more, with the link back before keepalive has found anything, and
# the server's side of the connection destroyed meanwhile (`ss -K`; its
# reset is lost on the downed link): like a NAT that forgot the connection,
# the server's system answers the first probe with a reset, which is found
# within about keepAlive of the last traffic. (A killed server would not
# do: its FIN is sent again once the link is back.)
closes=$(count "[01]CloseSocket")
idles=$(count "[01]IDLE mode")
ip link set lo down
ss -K state established "( sport = :$imap )" >/dev/null 2>&1 || true
ip link set lo up
if [ -n "$(ss -Htn state established "( sport = :$imap )")" ]; then
    say "the forgotten-connection part is skipped: this kernel cannot destroy a socket (ss -K)"
    reset_found=skipped
    dismissals=2
else
    wait_for_more "[01]CloseSocket" "$closes" $((bound + slack + 30))
    reset_found=$(( $(now_ms) - idle_again ))
    why=$(grep -F "[01]" "$hostlog" | grep -B2 -F "[01]CloseSocket" | tail -n 3 | head -n 2 | sed 's/.*trace //' | paste -sd ' ')
    say "forgotten connection found $reset_found ms after its last traffic (by: $why)"
    [ "$reset_found" -ge $(((keepalive - 1) * 1000)) ] ||
        fail "a forgotten connection found $reset_found ms after its last traffic, before the first probe"
    [ "$reset_found" -le $(((keepalive + interval + 3) * 1000)) ] ||
        fail "a forgotten connection found $reset_found ms after its last traffic: not at the first probe (keepAlive $keepalive s)"
    wait_for_more "[01]IDLE mode" "$idles" 60
    wait_for_more "receive dialog OK pressed" 2 30
    dismissals=3
fi

sends=$(count "lParam=1000")
control DELIVER vanish later-mail || fail "could not deliver"
wait_for_more "receive dialog OK pressed" "$dismissals" 30
[ "$dismissals" -eq 3 ] || kill "$host_pid" # it waits for one dismissal more
wait "$host_pid" || [ "$dismissals" -ne 3 ] || fail "the stand-in host failed"
host_pid=
[ "$(count "lParam=1000")" -eq $((sends + 1)) ] || fail "the later mail was announced $(( $(count "lParam=1000") - sends )) times"
[ "$(count "Connect failed")" -eq 0 ] || fail "a connect-failed box after IDLE had been reached"
say "PASSED: dead link found in $elapsed ms (bound $bound s), a forgotten one in $reset_found ms; reconnected; the later mail announced once"
