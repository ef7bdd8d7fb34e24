# Sourced by start.sh and stop.sh: looking at processes through /proc.
# A zombie counts as gone: it holds no port and no file.

is_alive() { # pid
    [ -n "$1" ] && [ -r "/proc/$1/stat" ] || return 1
    local status
    status=$(sed -E 's/^.*\) (.).*$/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$status" ] && [ "$status" != Z ]
}

command_line() { # pid
    tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null || true
}

is_control_service() { # pid state-folder
    is_alive "$1" && command_line "$1" | grep -qF "dovecotctl.py $2 "
}

wait_gone() { # seconds pid
    local deadline=$((SECONDS + $1))
    while is_alive "$2"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

group_members() { # process-group
    sed -nE "s/^([0-9]+) \(.*\) [^Z] [0-9]+ $1 .*$/\1/p" /proc/[0-9]*/stat 2>/dev/null || true
}

wait_group_gone() { # seconds process-group
    local deadline=$((SECONDS + $1))
    while [ -n "$(group_members "$2")" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# The state folder that RUN_DIR/state-folder names, when it is one that
# start.sh makes (/tmp/qvpush-dovecot.XXXXXX, not a link); empty otherwise.
# stop.sh removes that folder, so nothing else may pass.
state_folder() { # run-folder
    local state
    state=$(head -n 1 "$1/state-folder" 2>/dev/null || true)
    if [[ "$state" =~ ^/tmp/qvpush-dovecot\.[A-Za-z0-9]{6}$ ]] && [ ! -L "$state" ]; then
        echo "$state"
    fi
}
