#!/usr/bin/env bash
# The main job, end to end: a private Dovecot on loopback with a demo account,
# the stand-in mail client with one folder window and qvpush.dll loaded, and a
# few mails delivered into the account. The plug-in, waiting in IMAP IDLE,
# makes the host run its send/receive command for each, and presses OK on the
# host's receive dialog. At the end a timeline of what happened is printed,
# with milliseconds, and everything started is stopped.
#
# The account speaks implicit TLS (SSL/TLS, Dovecot's second port) as a user's
# would: the demo makes its own test CA and server certificate
# (tests/tls/make-certs.sh), makes the CA trusted in its Wine prefix, and the
# plug-in checks Dovecot's certificate against the name localhost.
#
# The folder window shows on $DISPLAY when there is one, on a private Xvfb
# otherwise. QVPUSH_DEMO_MAILS sets the number of mails (default 3).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QVPUSH_BUILD:-$root/build}
mails=${QVPUSH_DEMO_MAILS:-3}
if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: needs root, as its Dovecot chowns its mail folder to nobody and runs mail as uid nobody; run it as root (sudo $0)" >&2
    exit 1
fi

"$root/scripts/setup.sh"
echo "== building"
QVPUSH_BUILD=$build "$root/scripts/build.sh" >/dev/null

demo=$build/demo
# Dovecot's state is in a folder under /tmp that $demo/dovecot/state-folder names.
dovecot_run=$demo/dovecot
rm -rf "$demo/account"
mkdir -p "$demo/account"
events=$demo/events.log
hostlog=$demo/host.log
: >"$events"

# Free ports P and P + 10000 (Dovecot's implicit TLS port) for IMAP, and one
# more for the control service.
free_ports() {
    python3 - <<'PY'
import random, socket
def free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False
while True:
    port = random.randrange(20000, 30000, 2)
    if free(port) and free(port + 1) and free(port + 10000):
        print(port, port + 1)
        break
PY
}
now() { date +%H:%M:%S.%3N; }

# One request to the Dovecot control service; prints its reply.
control() {
    python3 - "$control_port" "$@" <<'PY'
import socket, sys, urllib.parse
words = " ".join(urllib.parse.quote(word, safe="") for word in sys.argv[2:])
with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=60) as s:
    s.sendall(words.encode() + b"\r\n")
    reply = s.makefile("rb").readline().decode().strip()
print(reply)
sys.exit(0 if reply.startswith("OK") else 1)
PY
}

# Waits until the host's log holds a line with the text; gives up after
# the given number of seconds.
wait_for_log() { # text seconds
    local deadline=$((SECONDS + $2))
    until grep -qF -- "$1" "$hostlog" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$host_pid" 2>/dev/null; then
            echo "demo: gave up waiting for \"$1\"" >&2
            return 1
        fi
        sleep 0.05
    done
}

source "$root/scripts/wine-env.sh"
cleanup() {
    [ -n "${host_pid:-}" ] && kill "$host_pid" 2>/dev/null
    bash "$root/tests/dovecot/stop.sh" "$dovecot_run" >/dev/null 2>&1 || true
    wine_env_stop
}
trap cleanup EXIT

read -r imap_port control_port < <(free_ports)
imaps_port=$((imap_port + 10000))
echo "== making a test CA and Dovecot's certificate for localhost"
bash "$root/tests/tls/make-certs.sh" "$demo/tls" >/dev/null
echo "== starting Dovecot on 127.0.0.1:$imap_port, implicit TLS on 127.0.0.1:$imaps_port"
bash "$root/tests/dovecot/start.sh" "$dovecot_run" "$imap_port" "$control_port" "$demo/tls" >/dev/null
control USER demo demo-password >/dev/null

wine_env_start "$build" visible
cd "$build/bin"
echo "== trusting the test CA in the Wine prefix"
in_japanese_locale wine import_ca.exe "$(in_japanese_locale wine winepath.exe -w "$demo/tls/ca.pem" 2>/dev/null)" </dev/null
account=$(in_japanese_locale wine winepath.exe -w "$demo/account" 2>/dev/null)\\
echo "== writing ${account}qvpush.ini with the plug-in's own settings code (SSL/TLS, localhost:$imaps_port)"
in_japanese_locale wine write_settings.exe "$account" localhost "$imaps_port" demo demo-password 1 1 </dev/null

echo "== running the stand-in host with one folder window (DISPLAY=$DISPLAY)"
in_japanese_locale wine standin_host.exe --account "$account" --until-dismissed $((mails + 1)) --timeout-s 120 \
    </dev/null >"$hostlog" 2>&1 &
host_pid=$!

count() { grep -c -- "$1" "$hostlog" || true; }
# Waits until the host's log holds more than `before` lines with the text.
wait_for_more() { # text before seconds
    local deadline=$((SECONDS + $3))
    until [ "$(count "$1")" -gt "$2" ]; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$host_pid" 2>/dev/null; then
            echo "demo: gave up waiting for \"$1\"" >&2
            return 1
        fi
        sleep 0.05
    done
}

wait_for_log "IDLE mode" 60
# recvAtConnected is on: reaching IDLE makes the host check for mail once.
wait_for_more "receive dialog OK pressed" 0 30
for i in $(seq 1 "$mails"); do
    # One mail at a time, each once the last one was received: Dovecot
    # announces mails that arrive close together in one EXISTS line.
    pushed=$(count "EXISTS")
    dismissed=$(count "receive dialog OK pressed")
    control DELIVER demo "Demo mail $i" >/dev/null
    echo "$(now) mail $i delivered into Dovecot" >>"$events"
    wait_for_more "EXISTS" "$pushed" 30
    wait_for_more "receive dialog OK pressed" "$dismissed" 30
done
wait "$host_pid"
host_status=$?
host_pid=

# The timeline: the host's log (plug-in trace included) and the deliveries,
# in time order, with the events that matter named.
iconv -f CP932 -t UTF-8 "$hostlog" | awk '
    /trace \[01\]connect to\(/            { print $1, "connecting:", substr($0, index($0, "connect to")); next }
    /trace \[01\]Connected/               { print $1, "connected"; next }
    /trace \[01\]TLS handshake/           { s = substr($0, index($0, "TLS handshake(") + 14); sub(/\)\r?$/, "", s); print $1, "TLS handshake done:", s; next }
    /trace \[01\]certificate subject/     { s = substr($0, index($0, "subject(") + 8); sub(/\)\r?$/, "", s); print $1, "server certificate:", s; next }
    /trace \[01\]certificate sha256/      { s = substr($0, index($0, "sha256(") + 7); sub(/\)\r?$/, "", s); print $1, "its SHA-256:", s; next }
    /trace \[01\]certificate (accepted|untrusted|name|expired|not|tlsF)/ { print $1, "certificate check:", substr($0, index($0, "certificate ") + 12); next }
    /trace \[01\]IDLE mode/               { print $1, "IDLE reached"; idle = 1; next }
    idle && /trace \[01\]Recv:.* EXISTS/  { print $1, "server pushed", substr($0, index($0, "Recv:") + 5); next }
    /Received MAIL/ && !idle              { print $1, "plug-in posts the mail-arrived notice (check on connecting)"; next }
    /Received MAIL/                       { print $1, "plug-in posts the mail-arrived notice"; next }
    /\(callback 1\) on/                   { print $1, "host runs the mail-arrived command"; next }
    /lParam=1000/                         { print $1, "send/receive command (lParam 1000)"; next }
    /receive dialog opened/               { print $1, "host opened its receive dialog"; next }
    /QPCFolderEndRetrieve/                { print $1, "retrieval ended, QPCFolderEndRetrieve"; next }
    /receive dialog OK pressed/           { print $1, "receive dialog dismissed by the plug-in"; next }
    /QPCFolderClose/                      { print $1, "window closed:", substr($0, index($0, "QPCFolderClose")); next }
    /trace \[01\]thread terminated/       { print $1, "watcher thread ended"; next }
' >"$demo/host-events.log"
echo
echo "== timeline"
sort -s -k1,1 "$events" "$demo/host-events.log"
echo
echo "== the host's full log is in $hostlog"
exit "$host_status"
