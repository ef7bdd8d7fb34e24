#!/usr/bin/env bash
# Builds a release of the checked-out commit twice, in two different folders,
# checks that the two DLLs are the same bytes, and writes
# dist/qvpush-<version>-win32.zip. Uncommitted changes are not in it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
for tool in i686-w64-mingw32-strip python3 git; do
    command -v "$tool" >/dev/null || { echo "package: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
commit=$(git -C "$root" rev-parse HEAD)
# pe-stamp.py asks git for the commit time; an archive has no history.
export SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$commit")

# One build of the DLL alone, from the commit's files in a folder of its own.
build_once() { # folder
    local src=$1/qvpush-source
    mkdir -p "$src"
    git -C "$root" archive "$commit" | tar -x -C "$src"
    cmake -S "$src" -B "$1/b" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
        -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$1/b" -j"$(nproc)" --target qvpush_stamp >/dev/null
}
echo "package: building $commit twice"
build_once "$work/first"
build_once "$work/second-build-in-another-folder"
first=$work/first/b/bin/qvpush.dll
second=$work/second-build-in-another-folder/b/bin/qvpush.dll
if ! cmp -s "$first" "$second"; then
    echo "package: the two builds differ:" >&2
    cmp -l "$first" "$second" | head -20 >&2
    exit 1
fi
echo "package: the two builds matched ($(sha256sum "$first" | cut -c1-64))"

version=$(sed -n 's/.*VALUE "ProductVersion", "\([^"]*\)".*/\1/p' "$root/src/config/qvpush.rc")
[ -n "$version" ] || { echo "package: no ProductVersion in qvpush.rc" >&2; exit 1; }
stage=$work/stage
mkdir -p "$stage"
i686-w64-mingw32-strip --strip-all -o "$stage/qvpush.dll" "$first"
python3 "$root/scripts/pe-stamp.py" "$stage/qvpush.dll" "$root"
git -C "$root" show "$commit:LICENSE" >"$stage/LICENSE"
git -C "$root" show "$commit:package/qvpush.ini" >"$stage/qvpush.ini"
python3 - "$stage" "$root" "$commit" <<'PY'
import subprocess, sys
stage, root, commit = sys.argv[1:]
guide = subprocess.run(["git", "-C", root, "show", commit + ":docs/guide-ja.md"],
                       stdout=subprocess.PIPE, check=True).stdout.decode("utf-8")
# Notepad and every Windows editor take UTF-8 with a byte-order mark, CR LF.
text = "\ufeff" + guide.replace("\r\n", "\n").replace("\n", "\r\n")
open(stage + "/guide-ja.txt", "wb").write(text.encode("utf-8"))
PY
# What the DLL carries of others: the MinGW-w64 runtime and winpthreads, and
# GCC's libgcc and libstdc++ under the GCC Runtime Library Exception.
cp /usr/share/doc/mingw-w64-i686-dev/copyright "$stage/LICENSE.mingw-w64-runtime-and-winpthreads.txt"
cp /usr/share/doc/gcc-mingw-w64-i686-posix-runtime/copyright "$stage/LICENSE.gcc-runtime-libgcc-libstdc++.txt"
(cd "$stage" && sha256sum guide-ja.txt LICENSE LICENSE.*.txt qvpush.dll qvpush.ini >SHA256SUMS)

mkdir -p "$root/dist"
zip=$root/dist/qvpush-$version-win32.zip
python3 - "$stage" "$zip" <<'PY'
import os, sys, time, zipfile
stage, target = sys.argv[1:]
when = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
    for name in sorted(os.listdir(stage)):
        info = zipfile.ZipInfo(name, when)
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, open(os.path.join(stage, name), "rb").read())
PY
echo "package: wrote $zip"
(cd "$stage" && cat SHA256SUMS)
