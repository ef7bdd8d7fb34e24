#!/usr/bin/env bash
# Runs a command (a test program under Wine) in a private mount namespace
# whose /etc/hosts and /etc/resolv.conf are the tests' own, so that name
# lookups can be tested without any name ever leaving the machine:
#   name_namespace.sh COMMAND [ARGUMENTS...]
# The hosts file maps
#   dual.qvpush.test  to ::1 first, then 127.0.0.1
#   localhost         to 127.0.0.1
# and every other name goes to a name server on a loopback address that
# reads the queries and never answers, so that its lookup hangs for the
# resolver's time-out: QVPUSH_RESOLVER_TIMEOUT seconds (3 unless set; the
# resolver takes at most 30), one attempt.
# Without root (or where namespaces cannot be made) the command runs as it
# is, with QVPUSH_NAME_NAMESPACE unset: the tests that need the namespace
# then skip themselves.
set -uo pipefail

if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
    exec "$@"
fi

dir=$(mktemp -d /tmp/qvpush-names.XXXXXX)
chmod 755 "$dir"
# One silent name server per run, on an address of its own, so that test
# processes running side by side do not share one.
address=127.0.$((($$ >> 8) % 200 + 20)).$(($$ % 200 + 20))
printf '::1 dual.qvpush.test\n127.0.0.1 dual.qvpush.test\n127.0.0.1 localhost\n' >"$dir/hosts"
printf 'nameserver %s\noptions timeout:%d attempts:1\n' "$address" "${QVPUSH_RESOLVER_TIMEOUT:-3}" >"$dir/resolv.conf"

python3 - "$address" "$dir/ready" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], 53))
open(sys.argv[2], "w").close()
while True:
    s.recvfrom(4096)  # read every query, answer none
PY
server=$!
cleanup() {
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
for _ in $(seq 1 100); do
    [ -e "$dir/ready" ] && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.05
done

export QVPUSH_NAME_NAMESPACE=1
unshare -m bash -c 'mount --bind "$1/hosts" /etc/hosts && mount --bind "$1/resolv.conf" /etc/resolv.conf && shift && "$@"' \
    bash "$dir" "$@"
