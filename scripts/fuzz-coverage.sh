#!/usr/bin/env bash
# Line coverage of the wire-format core by the fuzz corpora: builds the fuzz
# targets with clang's source-based coverage (no sanitizers) into
# <native build>-coverage/, runs each target once over its seeds and over
# the inputs scripts/fuzz.sh has found, and prints llvm-cov's report for
# src/imap/wire.cpp, per target and for all three together.
#   scripts/fuzz-coverage.sh [target...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=${QVPUSH_NATIVE_BUILD:-$root/build-native}
coverage=$native-coverage
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_lines fuzz_responses fuzz_login)

jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
cmake -S "$root/fuzz" -B "$coverage" -DCMAKE_CXX_COMPILER=clang++ -DQVPUSH_FUZZ_COVERAGE=ON >/dev/null
cmake --build "$coverage" -j"$jobs" --target "${targets[@]}" >/dev/null

profiles=()
objects=()
for target in "${targets[@]}"; do
    corpora=("$root/fuzz/corpus/$target")
    [ -d "$native/corpus/$target" ] && corpora+=("$native/corpus/$target")
    rm -f "$coverage/$target".profraw
    # -runs=0: run every input of the corpora once, and nothing more.
    LLVM_PROFILE_FILE="$coverage/$target.profraw" \
        "$coverage/$target" -runs=0 "${corpora[@]}" >"$coverage/$target.log" 2>&1
    llvm-profdata merge -sparse "$coverage/$target.profraw" -o "$coverage/$target.profdata"
    echo "== $target: $(find "${corpora[@]}" -type f | wc -l) inputs"
    llvm-cov report "$coverage/$target" -instr-profile="$coverage/$target.profdata" \
        "$root/src/imap/wire.cpp"
    profiles+=("$coverage/$target.profraw")
    objects+=(-object "$coverage/$target")
done

if [ ${#targets[@]} -gt 1 ]; then
    llvm-profdata merge -sparse "${profiles[@]}" -o "$coverage/all.profdata"
    echo "== all targets together"
    llvm-cov report "${objects[@]:1}" -instr-profile="$coverage/all.profdata" "$root/src/imap/wire.cpp"
fi
