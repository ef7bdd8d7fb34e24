#!/usr/bin/env bash
# Starts a private Dovecot with its control service, detached from the caller:
#   start.sh RUN_DIR IMAP_PORT CONTROL_PORT [TLS_DIR]
# RUN_DIR is a folder of the caller's (in the build folder). Dovecot's own
# state (configuration, users, mail, sockets, logs) lives in a folder made
# for this run under /tmp, which RUN_DIR/state-folder names: Dovecot's auth
# process runs as the dovecot user and its mail processes as nobody, and
# neither could enter a checkout inside a private (0700) folder such as
# root's home; and a Unix socket path has at most 107 bytes, which a deep
# checkout would exceed. stop.sh RUN_DIR stops it, keeps its logs in RUN_DIR
# and removes the state folder.
#
# Returns once the service answers PING, which it does only when Dovecot
# accepts on 127.0.0.1:IMAP_PORT. When the same service already runs for
# RUN_DIR on these ports, it does nothing; anything else left over from an
# earlier run of RUN_DIR is stopped first. It fails, saying why, when a port
# is taken or Dovecot does not come up.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ $# -ne 3 ] && [ $# -ne 4 ]; then
    echo "usage: start.sh RUN_DIR IMAP_PORT CONTROL_PORT [TLS_DIR]" >&2
    exit 2
fi
imap=$2 control=$3
tls=()
[ $# -eq 4 ] && tls=("$(cd "$4" && pwd)")
mkdir -p "$1"
run=$(cd "$1" && pwd)
python=/usr/bin/python3
[ -x "$python" ] || python=python3
source "$here/process.sh"

# True when the service with this pid answers PING on the control port (and
# not some other service that holds the port).
ping_service() { # pid
    "$python" - "$control" "$1" 2>/dev/null <<'PY'
import socket, sys
with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5) as s:
    s.settimeout(60)
    s.sendall(b"PING\r\n")
    sys.exit(0 if s.makefile("rb").readline().split() == [b"OK", sys.argv[2].encode()] else 1)
PY
}

state=$(state_folder "$run")
if [ -n "$state" ]; then
    pid=$(cat "$state/control.pid" 2>/dev/null || true)
    if is_control_service "$pid" "$state" && command_line "$pid" | grep -qF " $state $imap $control" \
            && ping_service "$pid"; then
        echo "start.sh: the Dovecot control service already runs (pid $pid, state in $state)"
        exit 0
    fi
fi
# A service or a Dovecot of an earlier run, maybe killed half-way.
"$here/stop.sh" "$run"

# /tmp itself, not $TMPDIR: that may be a private folder of the user's
# (pam_tmpdir makes /tmp/user/0 with mode 0700).
state=$(mktemp -d /tmp/qvpush-dovecot.XXXXXX)
chmod 0755 "$state"
echo "$state" >"$run/state-folder.new"
mv -f "$run/state-folder.new" "$run/state-folder"

: >"$state/control.log"
setsid "$python" "$here/dovecotctl.py" "$state" "$imap" "$control" "${tls[@]}" \
    </dev/null >>"$state/control.log" 2>&1 &
pid=$!
echo "$pid" >"$state/control.pid"

deadline=$((SECONDS + 60))
until ping_service "$pid"; do
    if ! is_alive "$pid"; then
        echo "start.sh: the Dovecot control service ended; its log says:" >&2
        tail -n 15 "$state/control.log" >&2
        "$here/stop.sh" "$run"
        exit 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
        echo "start.sh: no answer from the control service on 127.0.0.1:$control within 60 s" >&2
        "$here/stop.sh" "$run"
        exit 1
    fi
    sleep 0.1
done
echo "start.sh: Dovecot on 127.0.0.1:$imap, control service on 127.0.0.1:$control (pid $pid, state in $state)"
