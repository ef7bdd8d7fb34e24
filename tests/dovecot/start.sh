#!/usr/bin/env bash
# Starts the tests' private Dovecot with its control service, detached from
# the caller:
#   start.sh STATE_DIR IMAP_PORT CONTROL_PORT
# Returns once the service answers PING, which it does only when Dovecot
# accepts on 127.0.0.1:IMAP_PORT. When the same service already runs for this
# folder and these ports, it does nothing. It fails, saying why, when a port is
# taken or Dovecot does not come up. The service logs to STATE_DIR/control.log.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ $# -ne 3 ]; then
    echo "usage: start.sh STATE_DIR IMAP_PORT CONTROL_PORT" >&2
    exit 2
fi
imap=$2 control=$3
mkdir -p "$1"
state=$(cd "$1" && pwd)
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

pid=$(cat "$state/control.pid" 2>/dev/null || true)
if is_control_service "$pid" "$state"; then
    if command_line "$pid" | grep -qF " $state $imap $control" && ping_service "$pid"; then
        echo "start.sh: the Dovecot control service already runs (pid $pid)"
        exit 0
    fi
    "$here/stop.sh" "$state"
fi

: >"$state/control.log"
setsid "$python" "$here/dovecotctl.py" "$state" "$imap" "$control" \
    </dev/null >>"$state/control.log" 2>&1 &
pid=$!
echo "$pid" >"$state/control.pid"

deadline=$((SECONDS + 60))
until ping_service "$pid"; do
    if ! is_alive "$pid"; then
        echo "start.sh: the Dovecot control service ended; its log says:" >&2
        tail -n 15 "$state/control.log" >&2
        rm -f "$state/control.pid"
        exit 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
        echo "start.sh: no answer from the control service on 127.0.0.1:$control within 60 s" >&2
        "$here/stop.sh" "$state"
        exit 1
    fi
    sleep 0.1
done
echo "start.sh: Dovecot on 127.0.0.1:$imap, control service on 127.0.0.1:$control (pid $pid)"
