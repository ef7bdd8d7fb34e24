#!/usr/bin/env bash
# Checks that the plug-in's includes run one way only, and in no circle:
#   diag <- config <- net <- tls <- imap <- watch <- host
# A file may include headers of its own folder and of the folders left of it.
# x.h and x.cpp are one unit; a unit A depends on B when a file of A
# includes B.h, and no unit may depend on itself through others.
# Prints every include that runs against the direction and every circle, and
# fails if there is any.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root/src"
exec python3 - "$@" <<'PY'
import glob, os, re, sys

ORDER = ["diag", "config", "net", "tls", "imap", "watch", "host"]
rank = {name: i for i, name in enumerate(ORDER)}
include = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)

files = sorted(glob.glob("*/*.h") + glob.glob("*/*.cpp"))
folders = sorted({f.split("/")[0] for f in files})
bad = False
for folder in folders:
    if folder not in rank:
        print(f"check-layers: src/{folder}/ is none of the layers {', '.join(ORDER)}", file=sys.stderr)
        bad = True

unit = lambda path: os.path.splitext(path)[0]
edges = {}
for f in files:
    src_folder = f.split("/")[0]
    if src_folder not in rank:
        continue
    text = open(f, encoding="utf-8").read()
    for target in include.findall(text):
        to_folder = target.split("/")[0]
        if to_folder not in rank:
            if "/" in target:
                print(f"check-layers: {f} includes \"{target}\", outside the layers", file=sys.stderr)
                bad = True
            continue
        if rank[to_folder] > rank[src_folder]:
            print(f"check-layers: {f} includes \"{target}\": {src_folder} may not use {to_folder}", file=sys.stderr)
            bad = True
        if unit(target) != unit(f):
            edges.setdefault(unit(f), set()).add(unit(target))

# Circles: a depth-first search over the units.
WHITE, GREY, BLACK = 0, 1, 2
colour = {}
stack = []
circles = []
def visit(node):
    colour[node] = GREY
    stack.append(node)
    for nxt in sorted(edges.get(node, ())):
        if colour.get(nxt, WHITE) == GREY:
            circles.append(stack[stack.index(nxt):] + [nxt])
        elif colour.get(nxt, WHITE) == WHITE:
            visit(nxt)
    stack.pop()
    colour[node] = BLACK
for node in sorted(edges):
    if colour.get(node, WHITE) == WHITE:
        visit(node)
for circle in circles:
    print("check-layers: include circle: " + " -> ".join(circle), file=sys.stderr)
    bad = True

units = len({unit(f) for f in files})
if not files:
    print("check-layers: no sources found under src/", file=sys.stderr)
    sys.exit(1)
if not bad:
    print(f"check-layers: {len(files)} files in {units} units, every include runs "
          + " <- ".join(ORDER) + ", and no circle")
sys.exit(1 if bad else 0)
PY
