#!/usr/bin/env bash
# Stops what start.sh started for a run folder and waits until it is gone:
#   stop.sh RUN_DIR
# Also stops a Dovecot whose control service died without stopping it. Then
# copies the logs into RUN_DIR (control.log, dovecot.log, dovecot.out) and
# removes the state folder under /tmp that RUN_DIR/state-folder names. Does
# nothing when nothing was started.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ $# -ne 1 ]; then
    echo "usage: stop.sh RUN_DIR" >&2
    exit 2
fi
[ -d "$1" ] || exit 0
run=$(cd "$1" && pwd)
source "$here/process.sh"

if [ ! -e "$run/state-folder" ]; then
    exit 0
fi
state=$(state_folder "$run")
if [ -z "$state" ]; then
    echo "stop.sh: $run/state-folder does not name a state folder of start.sh; forgetting it" >&2
    rm -f "$run/state-folder"
    exit 0
fi

if [ -d "$state" ]; then
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

    master=$(cat "$state/run/master.pid" 2>/dev/null || true)
    if is_alive "$master" && command_line "$master" | grep -qF "$state/dovecot.conf"; then
        echo "stop.sh: stopping a Dovecot left without its control service (pid $master)" >&2
        kill -TERM -- "-$master" 2>/dev/null || true
        if ! wait_group_gone 30 "$master"; then
            kill -KILL -- "-$master" 2>/dev/null || true
            wait_group_gone 10 "$master" || true
        fi
    fi

    for log in control.log dovecot.log dovecot.out; do
        if [ -f "$state/$log" ]; then
            cp -f "$state/$log" "$run/$log"
        fi
    done
    rm -rf -- "$state"
fi
rm -f "$run/state-folder"
