#!/usr/bin/env bash
# Time to detect a vanished network: runs the fault suite's namespace case
# (tests/fault/network_vanishes.sh) with "keepAlive" at its default of 60 s
# and at 6 s, and writes what it measured to RESULTS/vanished-network.md:
#   vanished_network.sh BUILD_DIR SOURCE_DIR RESULTS_DIR
# A link that is silently gone is found after keepAlive + 9 probe intervals
# (Linux's 9 probes, a sixth of keepAlive apart); a connection the far side
# forgot, at the first probe.
set -euo pipefail
build=$1 root=$2 results=$3
out=$results/vanished-network.md
rows=()
for keepalive in 60 6; do
    echo "== vanished network, keepAlive $keepalive s"
    log=$(mktemp)
    if ! bash "$root/tests/fault/network_vanishes.sh" "$build" "$root" "$keepalive" | tee "$log"; then
        rm -f "$log"
        echo "vanished_network: the case failed with keepAlive $keepalive" >&2
        exit 1
    fi
    if grep -q SKIPPED "$log"; then
        rm -f "$log"
        exit 0
    fi
    interval=$((keepalive / 6 < 1 ? 1 : keepalive / 6))
    dead=$(sed -n 's/.*dead link found after \([0-9]*\) ms.*/\1/p' "$log" | head -n 1)
    forgotten=$(sed -n 's/.*forgotten connection found \([0-9]*\) ms.*/\1/p' "$log" | head -n 1)
    back=$(sed -n 's/.*back in IDLE \([0-9]*\) ms.*/\1/p' "$log" | head -n 1)
    rows+=("| $keepalive s | $((keepalive + 9 * interval)) s | $(awk "BEGIN { printf \"%.1f\", $dead / 1000 }") s | ${forgotten:-skipped} ms | $back ms |")
    rm -f "$log"
done
{
    echo "# Time to detect a vanished network"
    echo
    echo "Measured $(date -u +%Y-%m-%d) by \`bench/vanished_network.sh\` at $(git -C "$root" rev-parse --short HEAD): the"
    echo "loopback of a private network namespace goes down under a watcher in IDLE"
    echo "(a dead link, from the link going down to the watcher closing the connection);"
    echo "then the server's side of a new connection is destroyed while the link is"
    echo "down (a forgotten connection, from its last traffic to the close); and the"
    echo "reconnect once server and link are back."
    echo
    echo "| keepAlive | expected | dead link found | forgotten connection found | back in IDLE |"
    echo "|---|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
} >"$out"
cat "$out"
