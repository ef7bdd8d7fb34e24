#!/usr/bin/env python3
"""Fails unless a built DLL is free of the build machine's folders and carries
the commit time of its sources as its PE time stamp.

    check-reproducible.py DLL SOURCE_DIR BUILD_DIR
"""
import os
import runpy
import struct
import sys

dll, source_dir, build_dir = sys.argv[1:]
# The commit time as the build's own stamping step reads it.
commit_time = runpy.run_path(os.path.join(os.path.dirname(__file__), "pe-stamp.py"))["commit_time"]

data = open(dll, "rb").read()
failures = []
for folder in {source_dir.rstrip("/"), build_dir.rstrip("/")}:
    for form in (folder, folder.replace("/", "\\")):
        if form.encode() in data:
            failures.append("the DLL holds the folder %s" % form)
pe = struct.unpack_from("<I", data, 0x3C)[0]
stamp = struct.unpack_from("<I", data, pe + 8)[0]
expected = commit_time(source_dir)
if stamp != expected:
    failures.append("PE time stamp %d, expected the commit time %d" % (stamp, expected))
for failure in failures:
    print("check-reproducible: " + failure)
print("check-reproducible: %s: %s" % (dll, "FAILED" if failures else "no build folder inside, time stamp %d" % stamp))
sys.exit(1 if failures else 0)
