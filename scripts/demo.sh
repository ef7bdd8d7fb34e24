#!/usr/bin/env bash
# The main job: the plug-in inside the stand-in host, with one folder window.
# A mail-arrived notice becomes the host's own send/receive command, and the
# plug-in presses OK on the host's receive dialog when the retrieval ends.
# The window shows on $DISPLAY when there is one, on a private Xvfb otherwise.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QVPUSH_BUILD:-$root/build}

"$root/scripts/setup.sh"
QVPUSH_BUILD=$build "$root/scripts/build.sh" >/dev/null

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start "$build" visible

cd "$build/bin"
echo "== stand-in host log =="
wine standin_host.exe --post-mail-arrived --until-dismissed 1 --timeout-s 30 </dev/null | iconv -f CP932 -t UTF-8
