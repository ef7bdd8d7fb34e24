#!/usr/bin/env bash
# Runs one test program under Wine: wine_started.sh wine PROGRAM [ARG...]
# Now and then a Wine process ends before its program has started: at once,
# with a failing code and not one line on its output (the tests run with
# WINEDEBUG=-all, so Wine says nothing). A test program's first line comes
# from its main, before any test; with none, no test ran. Such a run is
# started once more, and this says so on the error output. Every other end
# is the program's own and is passed on as it is.
set -uo pipefail
out=$(mktemp /tmp/qvpush-started.XXXXXX) || exit 1
trap 'rm -f "$out"' EXIT
for attempt in 1 2; do
    began=$(date +%s%N)
    "$@" | tee "$out"
    code=${PIPESTATUS[0]}
    took=$((($(date +%s%N) - began) / 1000000))
    if [ "$code" -eq 0 ] || [ -s "$out" ] || [ "$took" -ge 2000 ] || [ "$attempt" -eq 2 ]; then
        exit "$code"
    fi
    echo "wine_started.sh: Wine ended with code $code after $took ms, before the program printed a line; started once more" >&2
done
