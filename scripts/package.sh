#!/usr/bin/env bash
# Builds a release of the checked-out commit twice, in two different folders,
# checks that the two DLLs are the same bytes, and writes
# dist/qvpush-<version>-win32.zip: the DLL, the guide as one HTML file, the
# change list, the Japanese sample qvpush.ini (Shift-JIS), the licences and
# SHA256SUMS. Uncommitted changes are not in it. Installs what it needs
# (setup.sh's packages and cmark-gfm).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
# The guide's renderer; the test command does without it.
if ! command -v cmark-gfm >/dev/null; then
    SUDO=
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    echo "package: installing cmark-gfm"
    $SUDO apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends cmark-gfm >/dev/null
fi
for tool in i686-w64-mingw32-strip python3 git cmark-gfm; do
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
# The guide as one HTML file that any browser on Windows opens: rendered
# from the Markdown by cmark-gfm (tables and code as GitHub shows them), with
# its style sheet and pictures inside it. The change list beside it, for
# Notepad: UTF-8 with a byte-order mark, CR LF.
git -C "$root" archive "$commit" docs | tar -x -C "$work"
cmark-gfm --unsafe -e table -e autolink -e strikethrough "$work/docs/guide-ja.md" >"$work/guide-body.html"
python3 - "$stage" "$work/docs" "$work/guide-body.html" <<'PY'
import base64, re, sys
stage, docs, body_path = sys.argv[1:]
body = open(body_path, encoding="utf-8").read()

def inline_picture(match):
    name = match.group(1)
    data = base64.b64encode(open(docs + "/" + name, "rb").read()).decode("ascii")
    return 'src="data:image/png;base64,%s"' % data

body = re.sub(r'src="([^":/]+\.png)"', inline_picture, body)

# A line break of the Markdown between two Japanese characters is no space
# in Japanese, but a browser shows it as one: joined, outside <pre>.
def join_lines(text):
    return re.sub(r"(?<=[^\x00-\x7f])\n(?=[^\x00-\x7f])", "", text)

parts = re.split(r"(<pre>.*?</pre>)", body, flags=re.S)
body = "".join(part if part.startswith("<pre>") else join_lines(part) for part in parts)
title = re.search(r"<h1>(.*?)</h1>", body).group(1)
style = """
body { font-family: "Yu Gothic UI", "Meiryo UI", Meiryo, sans-serif; line-height: 1.7;
       max-width: 52em; margin: 2em auto; padding: 0 1em; color: #222; }
h1, h2, h3, h4 { line-height: 1.3; }
h2 { border-bottom: 1px solid #ccc; padding-bottom: .2em; margin-top: 2em; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #bbb; padding: .3em .6em; vertical-align: top; }
th { background: #f2f2f2; }
code { font-family: Consolas, "MS Gothic", monospace; background: #f4f4f4; padding: 0 .2em; }
pre { background: #f4f4f4; padding: .8em; overflow-x: auto; }
pre code { padding: 0; }
blockquote { border-left: 4px solid #ccc; margin-left: 0; padding-left: 1em; color: #444; }
img { max-width: 100%; border: 1px solid #ddd; }
"""
page = ("<!DOCTYPE html>\n<html lang=\"ja\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>%s</title>\n<style>%s</style>\n</head>\n<body>\n%s</body>\n</html>\n" % (title, style, body))
open(stage + "/guide-ja.html", "w", encoding="utf-8", newline="\n").write(page)
changes = open(docs + "/CHANGES-ja.txt", encoding="utf-8").read()
text = "\ufeff" + changes.replace("\r\n", "\n").replace("\n", "\r\n")
open(stage + "/CHANGES-ja.txt", "wb").write(text.encode("utf-8"))
PY
# What the DLL carries of others: the MinGW-w64 runtime and winpthreads, and
# GCC's libgcc and libstdc++ under the GCC Runtime Library Exception.
cp /usr/share/doc/mingw-w64-i686-dev/copyright "$stage/LICENSE.mingw-w64-runtime-and-winpthreads.txt"
cp /usr/share/doc/gcc-mingw-w64-i686-posix-runtime/copyright "$stage/LICENSE.gcc-runtime-libgcc-libstdc++.txt"
(cd "$stage" && sha256sum CHANGES-ja.txt guide-ja.html LICENSE LICENSE.*.txt qvpush.dll qvpush.ini >SHA256SUMS)

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
