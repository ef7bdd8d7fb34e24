#!/usr/bin/env bash
# The benchmarks: push latency, idle cost, close cost, scale and the TLS
# handshake, in one run. Builds, starts a private Dovecot on free loopback
# ports (implicit TLS on the IMAP port + 10000, with a test CA of its own that
# the Wine prefix is made to trust) and a Wine environment, runs
# bench/run.py, writes bench/results/<name>.md and PNGs, prints the tables and
# stops everything it started. Not part of the test command. --quick shortens
# the measuring windows (for a try, not for the committed results); --only
# LIST runs some of the benchmarks (latency,idle,close,scale,handshake).
# Every benchmark runs twice in the one run: with the DLL of this tree
# ("after"), and with the DLL built from an earlier revision ("before",
# --before REV, 90fd02e unless given), which the same bench host loads; the
# before DLL is built for the architecture the bench host runs as (arch.sh).
# --no-before leaves it out. The TLS rows are the after DLL's only.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QVPUSH_BUILD:-$root/build}
results=${QVPUSH_BENCH_RESULTS:-$root/bench/results}
if [ "$(id -u)" -ne 0 ]; then
    echo "bench.sh: needs root, as its Dovecot chowns its mail folder to nobody and runs mail as uid nobody; run it as root (sudo $0)" >&2
    exit 1
fi

before=90fd02e
with_before=1
args=()
while [ $# -gt 0 ]; do
    case $1 in
        --before) before=$2; shift 2 ;;
        --before=*) before=${1#--before=}; shift ;;
        --no-before) with_before=0; shift ;;
        *) args+=("$1"); shift ;;
    esac
done

"$root/scripts/setup.sh"
# The plots; the test command does without them.
if [ "$(dpkg-query -W -f='${Status}' python3-matplotlib 2>/dev/null || true)" != "install ok installed" ]; then
    SUDO=
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    echo "bench: installing python3-matplotlib"
    $SUDO apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3-matplotlib >/dev/null
fi
echo "== building"
QVPUSH_BUILD=$build "$root/scripts/build.sh" >/dev/null

# The "before" DLL: that revision's files, unpacked and built on their own
# (its qvpush target only), for the architecture of the bench host. A
# revision without a toolchain file for it is built with this tree's.
source "$root/scripts/arch.sh"
arch=$(qvpush_arch)
before_args=()
if [ "$with_before" = 1 ]; then
    before_commit=$(git -C "$root" rev-parse --verify "$before^{commit}")
    before_dir=$build/before-$before_commit-$arch
    if [ ! -f "$before_dir/src/CMakeLists.txt" ]; then
        rm -rf "$before_dir/src"
        mkdir -p "$before_dir/src"
        git -C "$root" archive "$before_commit" | tar -x -C "$before_dir/src"
    fi
    toolchain=$before_dir/src/cmake/mingw-$arch.cmake
    [ -f "$toolchain" ] || toolchain=$root/cmake/mingw-$arch.cmake
    echo "== building the DLL of $before ($arch)"
    cmake -S "$before_dir/src" -B "$before_dir/build" -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
    cmake --build "$before_dir/build" -j"$(nproc)" --target qvpush >/dev/null
    before_args=(--before-dll "$before_dir/build/bin/qvpush.dll" --before-label "$before")
fi
after_label=$(git -C "$root" rev-parse --short HEAD)
[ -z "$(git -C "$root" status --porcelain -- src)" ] || after_label="$after_label with changes to src/"

# Dovecot's state is in a folder under /tmp that $build/bench-dovecot/state-folder names.
dovecot_run=$build/bench-dovecot
tls_dir=$build/bench-tls
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
source "$root/scripts/wine-env.sh"
cleanup() {
    bash "$root/tests/dovecot/stop.sh" "$dovecot_run" >/dev/null 2>&1 || true
    wine_env_stop
}
trap cleanup EXIT

export QVPUSH_DOVECOT_PORT QVPUSH_DOVECOT_CONTROL
read -r QVPUSH_DOVECOT_PORT QVPUSH_DOVECOT_CONTROL < <(free_ports)
echo "== making a test CA and Dovecot's certificate for localhost"
bash "$root/tests/tls/make-certs.sh" "$tls_dir" >/dev/null
echo "== starting Dovecot on 127.0.0.1:$QVPUSH_DOVECOT_PORT, implicit TLS on 127.0.0.1:$((QVPUSH_DOVECOT_PORT + 10000))"
bash "$root/tests/dovecot/start.sh" "$dovecot_run" "$QVPUSH_DOVECOT_PORT" "$QVPUSH_DOVECOT_CONTROL" "$tls_dir" >/dev/null
wine_env_start "$build"
echo "== trusting the test CA in the Wine prefix"
(cd "$build/bin" &&
    in_japanese_locale wine import_ca.exe "$(in_japanese_locale wine winepath.exe -w "$tls_dir/ca.pem" 2>/dev/null)" </dev/null)

# Debian's own Python, which has the matplotlib installed above.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
in_japanese_locale "$python" "$root/bench/run.py" --build "$build" --results "$results" \
    ${before_args[@]+"${before_args[@]}"} --after-label "$after_label" \
    ${args[@]+"${args[@]}"}

# Time to detect a vanished network: a case of its own, in a private network
# namespace with a Dovecot, a Wine server and a display of its own.
wine_env_stop
trap - EXIT
bash "$root/tests/dovecot/stop.sh" "$dovecot_run" >/dev/null 2>&1 || true
bash "$root/bench/vanished_network.sh" "$build" "$root" "$results"
