#!/usr/bin/env bash
# Builds the wire-format fuzz targets natively with clang (AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for the given number of seconds,
# one after another.
#   scripts/fuzz.sh [seconds] [target...]      (default: 60 s, every target)
# The build goes to build-native/ (or $QVPUSH_NATIVE_BUILD). Each target
# starts from its seed corpus in fuzz/corpus/<target>/, which it only reads;
# the inputs it finds go to <build>/corpus/<target>/ and survive from run to
# run. A crash, a broken property or a leak stops the script with a failure,
# and it prints the path of the input that reproduces it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=${QVPUSH_NATIVE_BUILD:-$root/build-native}
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_lines fuzz_responses fuzz_login)

case $seconds in
'' | *[!0-9]*) echo "fuzz: the time must be a whole number of seconds, not '$seconds'" >&2; exit 2 ;;
esac
command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (scripts/setup.sh installs it)" >&2; exit 1; }

jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
cmake -S "$root/fuzz" -B "$native" -DCMAKE_CXX_COMPILER=clang++ -DQVPUSH_FUZZ_COVERAGE=OFF >/dev/null
cmake --build "$native" -j"$jobs" --target "${targets[@]}" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

failed=0
for target in "${targets[@]}"; do
    seeds=$root/fuzz/corpus/$target
    found=$native/corpus/$target
    crashes=$native/crashes/$target
    log=$native/logs/$target.log
    [ -d "$seeds" ] || { echo "fuzz: no seed corpus at $seeds" >&2; exit 1; }
    mkdir -p "$found" "$crashes" "$(dirname "$log")"

    # The first folder takes the new inputs; the seeds are only read. Slow
    # inputs (the line reader's lines past the cap are 64 KiB each) get less
    # of the time, so that the quick ones are not starved.
    status=0
    "$native/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -entropic_scale_per_exec_time=1 \
        -artifact_prefix="$crashes/" "$found" "$seeds" >"$log" 2>&1 || status=$?

    summary=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
    execs=$(sed -nE 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$log" | tail -n 1)
    if [ "$status" -eq 0 ]; then
        echo "fuzz: $target ${seconds}s: ${summary:-no summary} (exec/s ${execs:-?}; log $log)"
        continue
    fi
    failed=1
    echo "fuzz: $target FAILED (exit $status); from its log $log:" >&2
    grep -E 'ERROR|property does not hold|runtime error|SUMMARY' "$log" | head -n 10 >&2 || true
    # The frames in the project's own sources.
    grep -E '^ +#[0-9]+ .* in .*/(src|fuzz)/[^ ]+:[0-9]+' "$log" | head -n 8 >&2 || true
    reproducer=$(sed -nE 's/.*Test unit written to (.*)$/\1/p' "$log" | tail -n 1)
    if [ -n "$reproducer" ]; then
        echo "fuzz: reproducer: $reproducer" >&2
        echo "fuzz: run it again with: \"$native/$target\" \"$reproducer\"" >&2
    else
        echo "fuzz: no reproducer written; see $log" >&2
    fi
done
exit "$failed"
