#!/usr/bin/env bash
# Stops what start.sh started for a state folder and waits until it is gone:
#   stop.sh STATE_DIR
# Also stops a Dovecot of that folder whose control service died without
# stopping it. Does nothing when nothing runs.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ $# -ne 1 ]; then
    echo "usage: stop.sh STATE_DIR" >&2
    exit 2
fi
[ -d "$1" ] || exit 0
state=$(cd "$1" && pwd)
source "$here/process.sh"

pid=$(cat "$state/control.pid" 2>/dev/null || true)
if is_control_service "$pid" "$state"; then
    # The service stops Dovecot's whole process group before it exits.
    kill -TERM "$pid" 2>/dev/null || true
    if ! wait_gone 60 "$pid"; then
        echo "stop.sh: the control service did not end on SIGTERM; killing it" >&2
        kill -KILL "$pid" 2>/dev/null || true
        wait_gone 10 "$pid" || true
    fi
fi
rm -f "$state/control.pid"

master=$(cat "$state/run/master.pid" 2>/dev/null || true)
if is_alive "$master" && command_line "$master" | grep -qF "$state/dovecot.conf"; then
    echo "stop.sh: stopping a Dovecot left without its control service (pid $master)" >&2
    kill -TERM -- "-$master" 2>/dev/null || true
    if ! wait_group_gone 30 "$master"; then
        kill -KILL -- "-$master" 2>/dev/null || true
        wait_group_gone 10 "$master" || true
    fi
fi
