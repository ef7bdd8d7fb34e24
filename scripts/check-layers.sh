#!/usr/bin/env bash
# Checks that the plug-in's includes run one way only:
#   diag <- config <- imap <- watch <- host
# A file may include headers of its own folder and of the folders left of it.
# Prints every include that runs against that direction, and fails if any.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root/src"

rank() {
    case $1 in
    diag) echo 1 ;; config) echo 2 ;; imap) echo 3 ;; watch) echo 4 ;; host) echo 5 ;; *) echo 0 ;;
    esac
}

bad=0
files=0
for file in */*.h */*.cpp; do
    from=${file%%/*}
    from_rank=$(rank "$from")
    [ "$from_rank" -gt 0 ] || continue
    files=$((files + 1))
    while IFS= read -r target; do
        to=${target%%/*}
        to_rank=$(rank "$to")
        if [ "$to_rank" -eq 0 ]; then
            echo "check-layers: $file includes \"$target\", outside the five layers" >&2
            bad=1
        elif [ "$to_rank" -gt "$from_rank" ]; then
            echo "check-layers: $file includes \"$target\": $from may not use $to" >&2
            bad=1
        fi
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
done
[ "$files" -gt 0 ] || { echo "check-layers: no sources found under src/" >&2; exit 1; }
[ "$bad" -eq 0 ] && echo "check-layers: $files files, every include runs diag <- config <- imap <- watch <- host"
exit "$bad"
